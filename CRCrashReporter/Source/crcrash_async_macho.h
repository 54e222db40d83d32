#pragma once
// One loaded image and the readers of its headers, segments, sections and symbols. Mach-O images are read
// as their load commands say; ELF images (the ones this system actually loads) answer the same accessors
// from their program headers, dynamic section and notes. Every crash-time read goes through a checked
// memory object.

#include <atomic>
#include <cstdint>

#include "crcrash_async.h"

// Mach-O constants the readers use.
inline constexpr std::uint32_t MH_MAGIC = 0xFEEDFACE;
inline constexpr std::uint32_t MH_CIGAM = 0xCEFAEDFE;
inline constexpr std::uint32_t MH_MAGIC_64 = 0xFEEDFACF;
inline constexpr std::uint32_t MH_CIGAM_64 = 0xCFFAEDFE;
inline constexpr std::uint32_t FAT_MAGIC = 0xCAFEBABE;
inline constexpr std::uint32_t FAT_CIGAM = 0xBEBAFECA;
inline constexpr std::uint32_t LC_SEGMENT = 0x1;
inline constexpr std::uint32_t LC_SYMTAB = 0x2;
inline constexpr std::uint32_t LC_DYSYMTAB = 0xB;
inline constexpr std::uint32_t LC_SEGMENT_64 = 0x19;
inline constexpr std::uint32_t LC_UUID = 0x1B;

// The first 28 bytes of a Mach-O header, as read (in the image's byte order).
struct crcrash_macho_header_t {
  std::uint32_t magic;
  std::int32_t cputype;
  std::int32_t cpusubtype;
  std::uint32_t filetype;
  std::uint32_t ncmds;
  std::uint32_t sizeofcmds;
  std::uint32_t flags;
};

struct crcrash_load_command_t {
  std::uint32_t cmd;
  std::uint32_t cmdsize;
};

enum crcrash_async_image_format_t : std::uint8_t {
  CRCRASH_IMAGE_FORMAT_MACHO = 0,
  CRCRASH_IMAGE_FORMAT_ELF = 1
};

// What an ELF image record learns from its headers when it is made (normal context), so that crash-time
// readers only map and look.
struct crcrash_async_elf_info_t {
  std::uint64_t phdr_addr;  // program header table in memory
  std::uint16_t phnum;
  std::uint64_t dynamic_addr;       // PT_DYNAMIC, 0 when none
  std::uint64_t eh_frame_hdr_addr;  // PT_GNU_EH_FRAME, 0 when none
  std::uint64_t eh_frame_hdr_size;
  std::uint64_t eh_frame_addr;   // from the header table's eh_frame_ptr, 0 when unknown
  std::uint64_t eh_frame_size;   // up to the end of the PT_LOAD holding it
  std::uint64_t fde_table_addr;  // the sorted search table, 0 when the header has none
  std::uint64_t fde_count;
  std::uint64_t symtab_addr;  // .dynsym
  std::uint64_t strtab_addr;  // .dynstr
  std::uint64_t strtab_size;
  std::uint64_t nsyms;
  std::uint8_t build_id[32];
  std::uint8_t build_id_length;
};

struct crcrash_async_macho_t {
  task_t task;
  std::uint64_t header_addr;
  std::uint64_t slide;
  char* name;
  crcrash_macho_header_t header;
  std::uint64_t header_size;
  std::uint32_t ncmds;
  crcrash_async_mobject_t load_cmds;
  std::uint64_t text_vmaddr;
  std::uint64_t text_size;
  bool m64;
  const crcrash_async_byteorder_t* byteorder;
  std::atomic<void*> node;
  crcrash_async_image_format_t format;
  crcrash_async_elf_info_t elf;
};

struct crcrash_async_macho_mapped_segment_t {
  crcrash_async_mobject_t mobj;
  std::uint64_t fileoff;
  std::uint64_t filesize;
};

struct crcrash_async_macho_symtab_reader_t {
  crcrash_async_macho_t* image;
  crcrash_async_macho_mapped_segment_t linkedit;
  void* symtab;
  std::uint32_t nsyms;
  void* symtab_global;
  std::uint32_t nsyms_global;
  void* symtab_local;
  std::uint32_t nsyms_local;
  char* string_table;
  std::uint64_t string_table_size;
};

struct crcrash_async_macho_symtab_entry_t {
  std::uint32_t n_strx;
  std::uint8_t n_type;
  std::uint8_t n_sect;
  std::uint16_t n_desc;
  std::uint64_t n_value;
  std::uint64_t normalized_value;
};

struct crcrash_async_macho_string_t {
  crcrash_async_macho_t* image;
  std::uint64_t address;
  crcrash_async_mobject_t mobj;
  bool mapped;
  std::uint64_t length;
};

typedef void (*crcrash_async_macho_found_symbol_cb)(std::uint64_t address, const char* name, void* ctx);

// ---- Record ----
crcrash_error_t crcrash_nasync_macho_init(crcrash_async_macho_t* image, task_t task, const char* name,
                                          std::uint64_t header_addr);
void crcrash_async_macho_free(crcrash_async_macho_t* image);

const crcrash_async_byteorder_t* crcrash_async_macho_byteorder(const crcrash_async_macho_t* image);
const crcrash_macho_header_t* crcrash_async_macho_header(const crcrash_async_macho_t* image);
std::uint64_t crcrash_async_macho_header_size(const crcrash_async_macho_t* image);
platform::crash::cpu_type_t crcrash_async_macho_cpu_type(const crcrash_async_macho_t* image);
platform::crash::cpu_subtype_t crcrash_async_macho_cpu_subtype(const crcrash_async_macho_t* image);
bool crcrash_async_macho_contains_address(const crcrash_async_macho_t* image, std::uint64_t address);
// The image's 16-byte identity: LC_UUID of a Mach-O image, the first 16 bytes of an ELF build-id (an
// id shorter than 16 bytes is padded with zeros). 8 when the image has none.
crcrash_error_t crcrash_async_macho_uuid(const crcrash_async_macho_t* image, std::uint8_t uuid[16]);

// ---- Load commands (Mach-O; an ELF image has none) ----
void* crcrash_async_macho_next_command(crcrash_async_macho_t* image, void* previous);
void* crcrash_async_macho_next_command_type(crcrash_async_macho_t* image, void* previous, std::uint32_t type);
void* crcrash_async_macho_find_command(crcrash_async_macho_t* image, std::uint32_t type);
void* crcrash_async_macho_find_segment_cmd(crcrash_async_macho_t* image, const char* segname);

// ---- Segments and sections ----
crcrash_error_t crcrash_async_macho_map_segment(crcrash_async_macho_t* image, const char* segname,
                                                crcrash_async_macho_mapped_segment_t* segment);
// ELF images answer ("__TEXT", "__eh_frame") with their .eh_frame; "__unwind_info" and every other
// section give 8.
crcrash_error_t crcrash_async_macho_map_section(crcrash_async_macho_t* image, const char* segname,
                                                const char* sectname, crcrash_async_mobject_t* mobj);
void crcrash_async_macho_mapped_segment_free(crcrash_async_macho_mapped_segment_t* segment);

// ELF only: the offset, from the start of .eh_frame, of the FDE that the .eh_frame_hdr search table
// names for `pc` (the entry with the greatest initial location not above pc). 4 for a Mach-O image or an
// image without a search table, 8 when pc lies below every entry, or a memory object's error.
crcrash_error_t crcrash_async_macho_find_eh_frame_fde(crcrash_async_macho_t* image, std::uint64_t pc,
                                                      std::uint64_t* fde_offset);

// ---- Symbols ----
crcrash_error_t crcrash_async_macho_symtab_reader_init(crcrash_async_macho_symtab_reader_t* reader,
                                                       crcrash_async_macho_t* image);
crcrash_async_macho_symtab_entry_t crcrash_async_macho_symtab_reader_read(
    crcrash_async_macho_symtab_reader_t* reader, void* symtab, std::uint32_t index);
const char* crcrash_async_macho_symtab_reader_symbol_name(crcrash_async_macho_symtab_reader_t* reader,
                                                          std::uint32_t n_strx);
void crcrash_async_macho_symtab_reader_free(crcrash_async_macho_symtab_reader_t* reader);
crcrash_error_t crcrash_async_macho_find_symbol_by_pc(crcrash_async_macho_t* image, std::uint64_t pc,
                                                      crcrash_async_macho_found_symbol_cb callback,
                                                      void* ctx);
crcrash_error_t crcrash_async_macho_find_symbol_by_name(crcrash_async_macho_t* image, const char* name,
                                                        std::uint64_t* address);

// ---- Strings ----
crcrash_error_t crcrash_async_macho_string_init(crcrash_async_macho_string_t* string,
                                                crcrash_async_macho_t* image, std::uint64_t address);
crcrash_error_t crcrash_async_macho_string_get_length(crcrash_async_macho_string_t* string,
                                                      std::uint64_t* length);
crcrash_error_t crcrash_async_macho_string_get_pointer(crcrash_async_macho_string_t* string,
                                                       const char** pointer);
void crcrash_async_macho_string_free(crcrash_async_macho_string_t* string);
