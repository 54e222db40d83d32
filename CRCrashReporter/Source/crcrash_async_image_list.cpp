#include "crcrash_async_image_list.h"

#include <cstdlib>

namespace pc = platform::crash;

using image_llist = crcrash_async_llist<crcrash_async_macho_t*>;

void crcrash_nasync_image_list_init(crcrash_async_image_list_t* list, task_t task) {
  list->task = task;
  pc::mach_port_mod_refs(task, 1);
  list->list = new image_llist();
  list->removed = new image_llist();
}

void crcrash_nasync_image_list_append(crcrash_async_image_list_t* list, std::uint64_t header_addr,
                                      const char* name) {
  auto* image = static_cast<crcrash_async_macho_t*>(std::calloc(1, sizeof(crcrash_async_macho_t)));
  if (image == nullptr) return;
  crcrash_error_t err = crcrash_nasync_macho_init(image, list->task, name, header_addr);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Unexpected failure initializing Mach-O structure for %s: %d", name, err);
    std::free(image);
    return;
  }
  list->list->nasync_append(image);
}

void crcrash_nasync_image_list_remove(crcrash_async_image_list_t* list, std::uint64_t header_addr) {
  image_llist* l = list->list;
  l->set_reading(true);
  for (image_llist::node* n = l->head(); n != nullptr; n = image_llist::next(n)) {
    if (n->value->header_addr == header_addr) {
      // The record stays allocated: a reader may still hold it.
      crcrash_async_macho_t* image = n->value;
      l->nasync_remove_node(n);
      list->removed->nasync_append(image);
      l->set_reading(false);
      return;
    }
  }
  CRCRASH_DEBUG("Can't find header addr=%llu in Mach-O image list.",
                static_cast<unsigned long long>(header_addr));
  l->set_reading(false);
}

void crcrash_nasync_image_list_set_reading(crcrash_async_image_list_t* list, bool enable) {
  list->list->set_reading(enable);
}

crcrash_async_macho_t* crcrash_nasync_image_list_next(crcrash_async_image_list_t* list,
                                                      crcrash_async_macho_t* current) {
  image_llist* l = list->list;
  if (l->refcount() < 1) {
    CRCRASH_DEBUG("Assertion failed: _refcount > 0");
    abort();
  }
  image_llist::node* n;
  void* known = current != nullptr ? current->node.load(std::memory_order_acquire) : nullptr;
  if (current == nullptr || known == nullptr) {
    n = l->head();
  } else {
    n = image_llist::next(static_cast<image_llist::node*>(known));
  }
  if (n == nullptr) return nullptr;
  crcrash_async_macho_t* image = n->value;
  void* expected = nullptr;
  image->node.compare_exchange_strong(expected, n, std::memory_order_acq_rel);
  return image;
}

crcrash_async_macho_t* crcrash_nasync_image_containing_address(crcrash_async_image_list_t* list,
                                                               std::uint64_t address) {
  for (crcrash_async_macho_t* image = crcrash_nasync_image_list_next(list, nullptr); image != nullptr;
       image = crcrash_nasync_image_list_next(list, image)) {
    if (crcrash_async_macho_contains_address(image, address)) return image;
  }
  return nullptr;
}

void crcrash_nasync_image_list_free(crcrash_async_image_list_t* list) {
  image_llist* l = list->list;
  l->set_reading(true);
  for (image_llist::node* n = l->head(); n != nullptr; n = image_llist::next(n)) {
    crcrash_async_macho_free(n->value);
    std::free(n->value);
  }
  l->set_reading(false);
  delete l;
  list->list = nullptr;
  for (image_llist::node* n = list->removed->head(); n != nullptr; n = image_llist::next(n)) {
    crcrash_async_macho_free(n->value);
    std::free(n->value);
  }
  delete list->removed;
  list->removed = nullptr;
  pc::mach_port_mod_refs(list->task, -1);
}
