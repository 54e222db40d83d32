#pragma once
// The process's loaded images: written in normal context by the loader feed, read at crash time without
// a lock.

#include <cstdint>

#include "crcrash_async_llist.h"
#include "crcrash_async_macho.h"

struct crcrash_async_image_list_t {
  task_t task;
  crcrash_async_llist<crcrash_async_macho_t*>* list;
  // Records taken off the list stay allocated (a reader may still hold one) until the list is freed.
  crcrash_async_llist<crcrash_async_macho_t*>* removed;
};

void crcrash_nasync_image_list_init(crcrash_async_image_list_t* list, task_t task);
void crcrash_nasync_image_list_append(crcrash_async_image_list_t* list, std::uint64_t header_addr,
                                      const char* name);
void crcrash_nasync_image_list_remove(crcrash_async_image_list_t* list, std::uint64_t header_addr);
void crcrash_nasync_image_list_set_reading(crcrash_async_image_list_t* list, bool enable);
crcrash_async_macho_t* crcrash_nasync_image_list_next(crcrash_async_image_list_t* list,
                                                      crcrash_async_macho_t* current);
crcrash_async_macho_t* crcrash_nasync_image_containing_address(crcrash_async_image_list_t* list,
                                                               std::uint64_t address);
void crcrash_nasync_image_list_free(crcrash_async_image_list_t* list);
