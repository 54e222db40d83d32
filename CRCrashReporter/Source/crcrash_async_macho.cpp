#include "crcrash_async_macho.h"

#include <cstdlib>
#include <cstring>

namespace pc = platform::crash;

namespace {

constexpr std::uint64_t kStringPage = 4096;
// A symbol or class name longer than this is corrupt data, not a name.
constexpr std::uint64_t kStringLimit = 64 * 1024;

std::uint32_t swap32(const crcrash_async_macho_t* image, std::uint32_t v) {
  return image->byteorder->swap32(v);
}
std::uint64_t swap64(const crcrash_async_macho_t* image, std::uint64_t v) {
  return image->byteorder->swap64(v);
}

template <typename T>
CRCRASH_NO_SANITIZE_ADDRESS T load(const void* p) {
  T value;
  crcrash_async_memcpy(&value, p, sizeof value);
  return value;
}

std::uint32_t field32(const crcrash_async_macho_t* image, const void* base, std::size_t offset) {
  return swap32(image, load<std::uint32_t>(static_cast<const char*>(base) + offset));
}
std::uint64_t field64(const crcrash_async_macho_t* image, const void* base, std::size_t offset) {
  return swap64(image, load<std::uint64_t>(static_cast<const char*>(base) + offset));
}

const char* image_name(const crcrash_async_macho_t* image) {
  return image->name != nullptr ? image->name : "";
}

void release_partial(crcrash_async_macho_t* image) {
  std::free(image->name);
  image->name = nullptr;
  pc::mach_port_mod_refs(image->task, -1);
}

// ---- ELF ----

// Named apart from <elf.h>'s macros of the same values, which another source of the unit may include.
constexpr std::uint32_t kPtLoad = 1, kPtDynamic = 2, kPtNote = 4, kPtGnuEhFrame = 0x6474e550;
constexpr std::uint32_t kPfExecute = 1;
constexpr std::int64_t kDtNull = 0, kDtHash = 4, kDtStrtab = 5, kDtSymtab = 6, kDtStrsz = 10, kDtSyment = 11;
constexpr std::int64_t kDtGnuHash = 0x6ffffef5;
// Upper bounds for every walk over ELF structures, so corrupt headers end a walk instead of spinning.
constexpr std::uint16_t kMaxProgramHeaders = 512;
constexpr std::uint64_t kMaxDynamicEntries = 4096;
constexpr std::uint64_t kMaxNoteBytes = 64 * 1024;
constexpr std::uint64_t kMaxHashBuckets = 1u << 22;
constexpr std::uint64_t kMaxSymbols = 1u << 24;

struct Elf64Ehdr {
  unsigned char e_ident[16];
  std::uint16_t e_type, e_machine;
  std::uint32_t e_version;
  std::uint64_t e_entry, e_phoff, e_shoff;
  std::uint32_t e_flags;
  std::uint16_t e_ehsize, e_phentsize, e_phnum, e_shentsize, e_shnum, e_shstrndx;
};
struct Elf64Phdr {
  std::uint32_t p_type, p_flags;
  std::uint64_t p_offset, p_vaddr, p_paddr, p_filesz, p_memsz, p_align;
};
struct Elf64Sym {
  std::uint32_t st_name;
  unsigned char st_info, st_other;
  std::uint16_t st_shndx;
  std::uint64_t st_value, st_size;
};
static_assert(sizeof(Elf64Ehdr) == 64 && sizeof(Elf64Phdr) == 56 && sizeof(Elf64Sym) == 24);

bool task_read(task_t task, std::uint64_t address, void* dest, std::uint64_t length) {
  return crcrash_async_task_memcpy(task, address, 0, dest, length) == CRCRASH_ERR_NONE;
}

// Reads one pointer of the .eh_frame_hdr encodings that linkers emit; false for any other encoding.
bool read_eh_pointer(task_t task, std::uint64_t& cursor, std::uint8_t encoding, std::uint64_t hdr_addr,
                     std::uint64_t* value) {
  if (encoding == 0xFF) return false;  // DW_EH_PE_omit
  std::uint64_t at = cursor;
  std::uint64_t raw = 0;
  switch (encoding & 0x0F) {
    case 0x00:    // absptr
    case 0x04: {  // udata8
      std::uint64_t v;
      if (!task_read(task, at, &v, 8)) return false;
      raw = v;
      cursor += 8;
      break;
    }
    case 0x0C: {  // sdata8
      std::int64_t v;
      if (!task_read(task, at, &v, 8)) return false;
      raw = static_cast<std::uint64_t>(v);
      cursor += 8;
      break;
    }
    case 0x03: {  // udata4
      std::uint32_t v;
      if (!task_read(task, at, &v, 4)) return false;
      raw = v;
      cursor += 4;
      break;
    }
    case 0x0B: {  // sdata4
      std::int32_t v;
      if (!task_read(task, at, &v, 4)) return false;
      raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      cursor += 4;
      break;
    }
    default:
      return false;
  }
  switch (encoding & 0x70) {
    case 0x00:
      break;
    case 0x10:  // pcrel
      raw += at;
      break;
    case 0x30:  // datarel: from the start of .eh_frame_hdr
      raw += hdr_addr;
      break;
    default:
      return false;
  }
  *value = raw;
  return true;
}

// The number of .dynsym entries from DT_GNU_HASH: past the highest bucket start, follow its chain to the
// entry whose low bit ends it.
bool gnu_hash_symbol_count(task_t task, std::uint64_t table, std::uint64_t* count) {
  std::uint32_t header[4];
  if (!task_read(task, table, header, sizeof header)) return false;
  std::uint64_t nbuckets = header[0], symoffset = header[1], bloom_size = header[2];
  if (nbuckets == 0 || nbuckets > kMaxHashBuckets || bloom_size > kMaxHashBuckets) return false;
  std::uint64_t buckets = table + 16 + bloom_size * 8;
  std::uint64_t highest = 0;
  std::uint32_t chunk[256];
  for (std::uint64_t i = 0; i < nbuckets; i += 256) {
    std::uint64_t n = nbuckets - i < 256 ? nbuckets - i : 256;
    if (!task_read(task, buckets + i * 4, chunk, n * 4)) return false;
    for (std::uint64_t k = 0; k < n; ++k) {
      if (chunk[k] > highest) highest = chunk[k];
    }
  }
  if (highest < symoffset) {
    *count = symoffset;
    return true;
  }
  std::uint64_t chains = buckets + nbuckets * 4;
  for (std::uint64_t index = highest; index < kMaxSymbols; ++index) {
    std::uint32_t hash;
    if (!task_read(task, chains + (index - symoffset) * 4, &hash, 4)) return false;
    if ((hash & 1) != 0) {
      *count = index + 1;
      return true;
    }
  }
  return false;
}

crcrash_error_t elf_init(crcrash_async_macho_t* image) {
  task_t task = image->task;
  Elf64Ehdr ehdr;
  if (!task_read(task, image->header_addr, &ehdr, sizeof ehdr)) {
    CRCRASH_DEBUG("Failed to read ELF header from 0x%llx for image %s",
                  static_cast<unsigned long long>(image->header_addr), image_name(image));
    return CRCRASH_ERR_INTERNAL;
  }
  if (ehdr.e_ident[4] != 2 || ehdr.e_ident[5] != 1 || ehdr.e_machine != 62 ||
      ehdr.e_phentsize != sizeof(Elf64Phdr) || ehdr.e_phnum == 0 || ehdr.e_phnum > kMaxProgramHeaders) {
    CRCRASH_DEBUG("Unsupported ELF image (class %d, data %d, machine %d) in: %s", ehdr.e_ident[4],
                  ehdr.e_ident[5], ehdr.e_machine, image_name(image));
    return CRCRASH_ERR_INVAL;
  }
  crcrash_async_elf_info_t& elf = image->elf;
  if (!crcrash_async_address_add_offset(
          image->header_addr, static_cast<std::int64_t>(ehdr.e_phoff & INT64_MAX), &elf.phdr_addr)) {
    return CRCRASH_ERR_INVAL;
  }
  elf.phnum = ehdr.e_phnum;
  image->header = {load<std::uint32_t>(ehdr.e_ident),
                   pc::CPU_TYPE_X86_64,
                   pc::CPU_SUBTYPE_X86_64_ALL,
                   ehdr.e_type,
                   0,
                   0,
                   0};
  image->header_size = sizeof ehdr;
  image->m64 = true;
  image->byteorder = &crcrash_async_byteorder_direct;

  // First pass: the load bias, the extent of the code and where the other tables lie.
  bool have_base = false;
  std::uint64_t bias = 0, base_vaddr = 0, text_end = 0;
  Elf64Phdr note_headers[16];
  std::size_t notes = 0;
  Elf64Phdr loads[64];
  std::size_t load_count = 0;
  std::uint64_t dynamic_vaddr = 0, eh_hdr_vaddr = 0, eh_hdr_size = 0;
  for (std::uint16_t i = 0; i < elf.phnum; ++i) {
    Elf64Phdr ph;
    if (!task_read(task, elf.phdr_addr + i * sizeof ph, &ph, sizeof ph)) {
      CRCRASH_DEBUG("Failed to read ELF program header %d in: %s", i, image_name(image));
      return CRCRASH_ERR_INVAL;
    }
    if (ph.p_type == kPtLoad) {
      if (ph.p_offset == 0 && !have_base) {
        have_base = true;
        base_vaddr = ph.p_vaddr;
        bias = image->header_addr - ph.p_vaddr;
      }
      if (load_count < std::size(loads)) loads[load_count++] = ph;
    } else if (ph.p_type == kPtDynamic) {
      dynamic_vaddr = ph.p_vaddr;
    } else if (ph.p_type == kPtGnuEhFrame) {
      eh_hdr_vaddr = ph.p_vaddr;
      eh_hdr_size = ph.p_memsz;
    } else if (ph.p_type == kPtNote && notes < std::size(note_headers)) {
      note_headers[notes++] = ph;
    }
  }
  if (!have_base) {
    CRCRASH_DEBUG("Could not find the PT_LOAD segment at file offset 0 in: %s", image_name(image));
    return CRCRASH_ERR_INVAL;
  }
  for (std::size_t i = 0; i < load_count; ++i) {
    if ((loads[i].p_flags & kPfExecute) != 0) text_end = bias + loads[i].p_vaddr + loads[i].p_memsz;
  }
  image->slide = bias;
  image->text_vmaddr = base_vaddr;
  image->text_size = text_end > image->header_addr ? text_end - image->header_addr : 0;
  if (dynamic_vaddr != 0) elf.dynamic_addr = bias + dynamic_vaddr;

  // Build id: the GNU note of type 3 in any PT_NOTE segment.
  for (std::size_t i = 0; i < notes && elf.build_id_length == 0; ++i) {
    std::uint64_t at = bias + note_headers[i].p_vaddr;
    std::uint64_t size = note_headers[i].p_memsz < kMaxNoteBytes ? note_headers[i].p_memsz : kMaxNoteBytes;
    std::uint64_t end = at + size;
    while (at + 12 <= end) {
      std::uint32_t nh[3];
      if (!task_read(task, at, nh, sizeof nh)) break;
      std::uint64_t name_size = (static_cast<std::uint64_t>(nh[0]) + 3) & ~3ULL;
      std::uint64_t desc_size = (static_cast<std::uint64_t>(nh[1]) + 3) & ~3ULL;
      char name[4] = {0, 0, 0, 0};
      if (nh[2] == 3 && nh[0] == 4 && task_read(task, at + 12, name, 4) && std::memcmp(name, "GNU", 4) == 0) {
        std::uint64_t length = nh[1] < sizeof elf.build_id ? nh[1] : sizeof elf.build_id;
        if (length > 0 && task_read(task, at + 12 + name_size, elf.build_id, length)) {
          elf.build_id_length = static_cast<std::uint8_t>(length);
        }
        break;
      }
      if (12 + name_size + desc_size > end - at) break;
      at += 12 + name_size + desc_size;
    }
  }

  // .eh_frame and its search table, from the header that PT_GNU_EH_FRAME points at.
  if (eh_hdr_vaddr != 0) {
    std::uint64_t hdr = bias + eh_hdr_vaddr;
    std::uint8_t head[4];
    if (task_read(task, hdr, head, sizeof head) && head[0] == 1) {
      elf.eh_frame_hdr_addr = hdr;
      elf.eh_frame_hdr_size = eh_hdr_size;
      std::uint64_t cursor = hdr + 4;
      std::uint64_t eh_frame = 0, fde_count = 0;
      if (read_eh_pointer(task, cursor, head[1], hdr, &eh_frame)) {
        elf.eh_frame_addr = eh_frame;
        for (std::size_t i = 0; i < load_count; ++i) {
          std::uint64_t start = bias + loads[i].p_vaddr, end = start + loads[i].p_memsz;
          if (eh_frame >= start && eh_frame < end) elf.eh_frame_size = end - eh_frame;
        }
        if (head[3] == 0x3B && read_eh_pointer(task, cursor, head[2], hdr, &fde_count) && fde_count > 0 &&
            fde_count <= (eh_hdr_size > 12 ? (eh_hdr_size - 12) / 8 : 0)) {
          elf.fde_table_addr = cursor;
          elf.fde_count = fde_count;
        }
      }
    }
  }

  // Dynamic symbols: .dynsym, .dynstr and the symbol count from either hash table.
  if (elf.dynamic_addr != 0) {
    std::uint64_t symtab = 0, strtab = 0, strsz = 0, hash = 0, gnu_hash = 0, syment = sizeof(Elf64Sym);
    for (std::uint64_t i = 0; i < kMaxDynamicEntries; ++i) {
      std::int64_t entry[2];
      if (!task_read(task, elf.dynamic_addr + i * 16, entry, sizeof entry) || entry[0] == kDtNull) break;
      auto value = static_cast<std::uint64_t>(entry[1]);
      switch (entry[0]) {
        case kDtSymtab:
          symtab = value;
          break;
        case kDtStrtab:
          strtab = value;
          break;
        case kDtStrsz:
          strsz = value;
          break;
        case kDtHash:
          hash = value;
          break;
        case kDtGnuHash:
          gnu_hash = value;
          break;
        case kDtSyment:
          syment = value;
          break;
        default:
          break;
      }
    }
    // The loader relocates these addresses in place for most objects, but not for every one (the vDSO):
    // an address below the load bias is still a link-time one.
    auto relocate = [bias](std::uint64_t v) { return v != 0 && bias != 0 && v < bias ? v + bias : v; };
    symtab = relocate(symtab);
    strtab = relocate(strtab);
    hash = relocate(hash);
    gnu_hash = relocate(gnu_hash);
    std::uint64_t nsyms = 0;
    if (hash != 0) {
      std::uint32_t header[2];
      if (task_read(task, hash, header, sizeof header)) nsyms = header[1];
    } else if (gnu_hash != 0) {
      if (!gnu_hash_symbol_count(task, gnu_hash, &nsyms)) nsyms = 0;
    }
    if (symtab != 0 && strtab != 0 && syment == sizeof(Elf64Sym) && nsyms > 0 && nsyms <= kMaxSymbols) {
      elf.symtab_addr = symtab;
      elf.strtab_addr = strtab;
      elf.strtab_size = strsz;
      elf.nsyms = nsyms;
    }
  }

  crcrash_error_t err =
      crcrash_async_mobject_init(&image->load_cmds, task, elf.phdr_addr, elf.phnum * sizeof(Elf64Phdr), true);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Failed to map ELF program headers in image %s", image_name(image));
    return err;
  }
  return CRCRASH_ERR_NONE;
}

bool is_elf(const crcrash_async_macho_t* image) { return image->format == CRCRASH_IMAGE_FORMAT_ELF; }

// Walks .dynsym for the defined symbol that best matches. `pc_offset` given: the greatest value not above
// it (first wins on a tie). `name` given: the first of that exact name.
crcrash_error_t elf_find_symbol(crcrash_async_macho_t* image, const std::uint64_t* pc_offset,
                                const char* name, std::uint64_t* value_out, const char** name_out,
                                crcrash_async_mobject_t* strings) {
  const crcrash_async_elf_info_t& elf = image->elf;
  if (elf.nsyms == 0 || elf.strtab_size == 0) return CRCRASH_ERR_NOTFOUND;
  crcrash_async_mobject_t symbols;
  crcrash_error_t err =
      crcrash_async_mobject_init(&symbols, image->task, elf.symtab_addr, elf.nsyms * sizeof(Elf64Sym), true);
  if (err != CRCRASH_ERR_NONE) return err;
  err = crcrash_async_mobject_init(strings, image->task, elf.strtab_addr, elf.strtab_size, false);
  if (err != CRCRASH_ERR_NONE) {
    crcrash_async_mobject_free(&symbols);
    return err;
  }
  const auto* table = static_cast<const Elf64Sym*>(
      crcrash_async_mobject_remap_address(&symbols, elf.symtab_addr, 0, elf.nsyms * sizeof(Elf64Sym)));
  bool found = false;
  std::uint64_t best_value = 0;
  std::uint32_t best_name = 0;
  for (std::uint64_t i = 0; table != nullptr && i < elf.nsyms; ++i) {
    Elf64Sym sym = load<Elf64Sym>(&table[i]);
    unsigned type = sym.st_info & 0xF;
    if (sym.st_shndx == 0 || sym.st_value == 0 || (type != 0 && type != 1 && type != 2 && type != 10))
      continue;
    if (pc_offset != nullptr) {
      if (sym.st_value <= *pc_offset && (!found || sym.st_value > best_value)) {
        found = true;
        best_value = sym.st_value;
        best_name = sym.st_name;
      }
    } else {
      const char* candidate = static_cast<const char*>(
          crcrash_async_mobject_remap_address(strings, elf.strtab_addr, sym.st_name, 1));
      if (candidate == nullptr) continue;
      std::uint64_t room =
          strings->local_address + strings->length - reinterpret_cast<std::uint64_t>(candidate);
      std::uint64_t k = 0;
      while (k < room && name[k] != 0 && crcrash_async_peek(candidate + k) == name[k]) ++k;
      if (k < room && name[k] == 0 && crcrash_async_peek(candidate + k) == 0) {
        found = true;
        best_value = sym.st_value;
        best_name = sym.st_name;
        break;
      }
    }
  }
  crcrash_async_mobject_free(&symbols);
  if (!found) {
    crcrash_async_mobject_free(strings);
    return CRCRASH_ERR_NOTFOUND;
  }
  const char* text =
      static_cast<const char*>(crcrash_async_mobject_remap_address(strings, elf.strtab_addr, best_name, 1));
  std::uint64_t room =
      text == nullptr ? 0 : strings->local_address + strings->length - reinterpret_cast<std::uint64_t>(text);
  std::uint64_t k = 0;
  while (k < room && crcrash_async_peek(text + k) != 0) ++k;
  if (text == nullptr || k == room) {
    CRCRASH_DEBUG("End of mobject reached while walking string\n");
    CRCRASH_DEBUG("Failed to read symbol name\n");
    crcrash_async_mobject_free(strings);
    return CRCRASH_ERR_INVAL;
  }
  *value_out = image->slide + best_value;
  *name_out = text;
  return CRCRASH_ERR_NONE;
}

}  // namespace

// ---- Record ----

crcrash_error_t crcrash_nasync_macho_init(crcrash_async_macho_t* image, task_t task, const char* name,
                                          std::uint64_t header_addr) {
  image->task = task;
  pc::mach_port_mod_refs(task, 1);
  image->header_addr = header_addr;
  image->name = strdup(name != nullptr ? name : "");
  image->node.store(nullptr);

  std::uint8_t raw[28];
  kern_return_t kr = crcrash_async_task_vm_read(task, header_addr, raw, sizeof raw);
  if (kr != pc::KERN_SUCCESS) {
    CRCRASH_DEBUG("Failed to read Mach-O header from 0x%llx for image %s, kern_error=%d",
                  static_cast<unsigned long long>(header_addr), image_name(image), kr);
    release_partial(image);
    return CRCRASH_ERR_INTERNAL;
  }
  if (raw[0] == 0x7F && raw[1] == 'E' && raw[2] == 'L' && raw[3] == 'F') {
    image->format = CRCRASH_IMAGE_FORMAT_ELF;
    crcrash_error_t err = elf_init(image);
    if (err != CRCRASH_ERR_NONE) release_partial(image);
    return err;
  }
  image->format = CRCRASH_IMAGE_FORMAT_MACHO;
  std::memcpy(&image->header, raw, sizeof raw);
  switch (image->header.magic) {
    case MH_MAGIC:
      image->m64 = false;
      image->byteorder = &crcrash_async_byteorder_direct;
      break;
    case MH_MAGIC_64:
      image->m64 = true;
      image->byteorder = &crcrash_async_byteorder_direct;
      break;
    case MH_CIGAM:
      image->m64 = false;
      image->byteorder = &crcrash_async_byteorder_swapped;
      break;
    case MH_CIGAM_64:
      image->m64 = true;
      image->byteorder = &crcrash_async_byteorder_swapped;
      break;
    case FAT_MAGIC:
    case FAT_CIGAM:
      CRCRASH_DEBUG("%s called with an unsupported universal Mach-O archive in: %s", __func__,
                    image_name(image));
      release_partial(image);
      return CRCRASH_ERR_INVAL;
    default:
      CRCRASH_DEBUG("Unknown Mach-O magic: 0x%x in: %s", image->header.magic, image_name(image));
      release_partial(image);
      return CRCRASH_ERR_INVAL;
  }
  image->header_size = image->m64 ? 32 : 28;
  image->ncmds = swap32(image, image->header.ncmds);
  std::uint32_t sizeofcmds = swap32(image, image->header.sizeofcmds);
  crcrash_error_t err =
      crcrash_async_mobject_init(&image->load_cmds, task, header_addr + image->header_size, sizeofcmds, true);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("Failed to map Mach-O load commands in image %s", image_name(image));
    release_partial(image);
    return err;
  }

  const std::uint32_t segment_type = image->m64 ? LC_SEGMENT_64 : LC_SEGMENT;
  const std::uint64_t segment_size = image->m64 ? 72 : 56;
  for (void* cmd = crcrash_async_macho_next_command_type(image, nullptr, segment_type); cmd != nullptr;
       cmd = crcrash_async_macho_next_command_type(image, cmd, segment_type)) {
    if (!crcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<std::uint64_t>(cmd),
                                                    0, segment_size)) {
      CRCRASH_DEBUG("LC_SEGMENT command was too short");
      crcrash_async_mobject_free(&image->load_cmds);
      release_partial(image);
      return CRCRASH_ERR_INVAL;
    }
    if (crcrash_async_strncmp(static_cast<const char*>(cmd) + 8, "__TEXT", 16) != 0) continue;
    if (image->m64) {
      image->text_vmaddr = field64(image, cmd, 24);
      image->text_size = field64(image, cmd, 32);
    } else {
      image->text_vmaddr = field32(image, cmd, 24);
      image->text_size = field32(image, cmd, 28);
    }
    image->slide = header_addr - image->text_vmaddr;
    return CRCRASH_ERR_NONE;
  }
  CRCRASH_DEBUG("Could not find __TEXT segment!");
  crcrash_async_mobject_free(&image->load_cmds);
  release_partial(image);
  return CRCRASH_ERR_INVAL;
}

void crcrash_async_macho_free(crcrash_async_macho_t* image) {
  std::free(image->name);
  image->name = nullptr;
  crcrash_async_mobject_free(&image->load_cmds);
  pc::mach_port_mod_refs(image->task, -1);
}

const crcrash_async_byteorder_t* crcrash_async_macho_byteorder(const crcrash_async_macho_t* image) {
  return image->byteorder;
}
const crcrash_macho_header_t* crcrash_async_macho_header(const crcrash_async_macho_t* image) {
  return &image->header;
}
std::uint64_t crcrash_async_macho_header_size(const crcrash_async_macho_t* image) {
  return image->header_size;
}
platform::crash::cpu_type_t crcrash_async_macho_cpu_type(const crcrash_async_macho_t* image) {
  return static_cast<pc::cpu_type_t>(swap32(image, static_cast<std::uint32_t>(image->header.cputype)));
}
platform::crash::cpu_subtype_t crcrash_async_macho_cpu_subtype(const crcrash_async_macho_t* image) {
  return static_cast<pc::cpu_subtype_t>(swap32(image, static_cast<std::uint32_t>(image->header.cpusubtype)));
}
bool crcrash_async_macho_contains_address(const crcrash_async_macho_t* image, std::uint64_t address) {
  return address >= image->header_addr && address - image->header_addr < image->text_size;
}

crcrash_error_t crcrash_async_macho_uuid(const crcrash_async_macho_t* image, std::uint8_t uuid[16]) {
  if (is_elf(image)) {
    if (image->elf.build_id_length == 0) return CRCRASH_ERR_NOTFOUND;
    crcrash_async_memset(uuid, 0, 16);
    crcrash_async_memcpy(uuid, image->elf.build_id,
                         image->elf.build_id_length < 16 ? image->elf.build_id_length : 16);
    return CRCRASH_ERR_NONE;
  }
  auto* self = const_cast<crcrash_async_macho_t*>(image);
  void* cmd = crcrash_async_macho_find_command(self, LC_UUID);
  if (cmd == nullptr || !crcrash_async_mobject_verify_local_pointer(
                            &image->load_cmds, reinterpret_cast<std::uint64_t>(cmd), 0, 24)) {
    return CRCRASH_ERR_NOTFOUND;
  }
  crcrash_async_memcpy(uuid, static_cast<const char*>(cmd) + 8, 16);
  return CRCRASH_ERR_NONE;
}

// ---- Load commands ----

void* crcrash_async_macho_next_command(crcrash_async_macho_t* image, void* previous) {
  if (is_elf(image)) return nullptr;
  const crcrash_async_mobject_t* cmds = &image->load_cmds;
  std::uint64_t next;
  if (previous == nullptr) {
    if (swap32(image, image->header.sizeofcmds) < sizeof(crcrash_load_command_t)) {
      CRCRASH_DEBUG("Mach-O sizeofcmds is less than sizeof(struct load_command) in %s", image_name(image));
      return nullptr;
    }
    next = cmds->local_address;
  } else {
    auto prev = reinterpret_cast<std::uint64_t>(previous);
    if (!crcrash_async_mobject_verify_local_pointer(cmds, prev, 0, sizeof(crcrash_load_command_t))) {
      CRCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", previous, image_name(image));
      return nullptr;
    }
    std::uint32_t cmdsize = field32(image, previous, 4);
    if (cmdsize < sizeof(crcrash_load_command_t)) {
      CRCRASH_DEBUG(
          "Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating further iteration)",
          previous, image_name(image));
      return nullptr;
    }
    if (prev + cmdsize < prev) {
      CRCRASH_DEBUG("Found invalid cmdsize in LC_CMD at address %p in: %s", previous, image_name(image));
      return nullptr;
    }
    next = prev + cmdsize;
    if (next >= cmds->local_address + cmds->length) return nullptr;
  }
  void* cmd = reinterpret_cast<void*>(next);
  if (!crcrash_async_mobject_verify_local_pointer(cmds, next, 0, sizeof(crcrash_load_command_t))) {
    CRCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", cmd, image_name(image));
    return nullptr;
  }
  std::uint32_t cmdsize = field32(image, cmd, 4);
  if (cmdsize < sizeof(crcrash_load_command_t)) {
    CRCRASH_DEBUG(
        "Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating further iteration)", cmd,
        image_name(image));
    return nullptr;
  }
  if (!crcrash_async_mobject_verify_local_pointer(cmds, next, 0, cmdsize)) {
    CRCRASH_DEBUG("Failed to map LC_CMD at address %p in: %s", cmd, image_name(image));
    return nullptr;
  }
  return cmd;
}

void* crcrash_async_macho_next_command_type(crcrash_async_macho_t* image, void* previous,
                                            std::uint32_t type) {
  for (void* cmd = crcrash_async_macho_next_command(image, previous); cmd != nullptr;
       cmd = crcrash_async_macho_next_command(image, cmd)) {
    if (field32(image, cmd, 0) == type) return cmd;
  }
  return nullptr;
}

void* crcrash_async_macho_find_command(crcrash_async_macho_t* image, std::uint32_t type) {
  return crcrash_async_macho_next_command_type(image, nullptr, type);
}

void* crcrash_async_macho_find_segment_cmd(crcrash_async_macho_t* image, const char* segname) {
  const std::uint32_t type = image->m64 ? LC_SEGMENT_64 : LC_SEGMENT;
  const std::uint64_t size = image->m64 ? 72 : 56;
  for (void* cmd = crcrash_async_macho_next_command_type(image, nullptr, type); cmd != nullptr;
       cmd = crcrash_async_macho_next_command_type(image, cmd, type)) {
    if (!crcrash_async_mobject_verify_local_pointer(&image->load_cmds, reinterpret_cast<std::uint64_t>(cmd),
                                                    0, size)) {
      return nullptr;
    }
    if (crcrash_async_strncmp(static_cast<const char*>(cmd) + 8, segname, 16) == 0) return cmd;
  }
  return nullptr;
}

// ---- Segments and sections ----

crcrash_error_t crcrash_async_macho_map_segment(crcrash_async_macho_t* image, const char* segname,
                                                crcrash_async_macho_mapped_segment_t* segment) {
  void* cmd = crcrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return CRCRASH_ERR_NOTFOUND;
  std::uint64_t vmaddr, vmsize;
  if (image->m64) {
    vmaddr = field64(image, cmd, 24);
    vmsize = field64(image, cmd, 32);
    segment->fileoff = field64(image, cmd, 40);
    segment->filesize = field64(image, cmd, 48);
  } else {
    vmaddr = field32(image, cmd, 24);
    vmsize = field32(image, cmd, 28);
    segment->fileoff = field32(image, cmd, 32);
    segment->filesize = field32(image, cmd, 36);
  }
  return crcrash_async_mobject_init(&segment->mobj, image->task, vmaddr + image->slide, vmsize, false);
}

crcrash_error_t crcrash_async_macho_map_section(crcrash_async_macho_t* image, const char* segname,
                                                const char* sectname, crcrash_async_mobject_t* mobj) {
  if (is_elf(image)) {
    if (crcrash_async_strcmp(segname, "__TEXT") != 0 || crcrash_async_strcmp(sectname, "__eh_frame") != 0 ||
        image->elf.eh_frame_addr == 0 || image->elf.eh_frame_size == 0) {
      return CRCRASH_ERR_NOTFOUND;
    }
    return crcrash_async_mobject_init(mobj, image->task, image->elf.eh_frame_addr, image->elf.eh_frame_size,
                                      true);
  }
  void* cmd = crcrash_async_macho_find_segment_cmd(image, segname);
  if (cmd == nullptr) return CRCRASH_ERR_NOTFOUND;
  const std::uint32_t nsects = field32(image, cmd, image->m64 ? 64 : 48);
  if (nsects == 0) return CRCRASH_ERR_NOTFOUND;
  const std::uint64_t header = image->m64 ? 72 : 56;
  const std::uint64_t entry = image->m64 ? 80 : 68;
  auto base = reinterpret_cast<std::uint64_t>(cmd) + header;
  for (std::uint32_t i = 0; i < nsects; ++i) {
    std::uint64_t at = base + i * entry;
    if (at < base || !crcrash_async_mobject_verify_local_pointer(&image->load_cmds, at, 0, entry)) {
      CRCRASH_DEBUG("Section table entry outside of expected range; searching for (%s,%s)", segname,
                    sectname);
      return CRCRASH_ERR_INVAL;
    }
    const char* sect = reinterpret_cast<const char*>(at);
    if (crcrash_async_strncmp(sect, sectname, 16) != 0) continue;
    std::uint64_t addr = image->m64 ? field64(image, sect, 32) : field32(image, sect, 32);
    std::uint64_t size = image->m64 ? field64(image, sect, 40) : field32(image, sect, 36);
    return crcrash_async_mobject_init(mobj, image->task, addr + image->slide, size, true);
  }
  return CRCRASH_ERR_NOTFOUND;
}

void crcrash_async_macho_mapped_segment_free(crcrash_async_macho_mapped_segment_t* segment) {
  crcrash_async_mobject_free(&segment->mobj);
}

crcrash_error_t crcrash_async_macho_find_eh_frame_fde(crcrash_async_macho_t* image, std::uint64_t pc,
                                                      std::uint64_t* fde_offset) {
  if (!is_elf(image) || image->elf.fde_table_addr == 0) return CRCRASH_ERR_NOTSUP;
  const crcrash_async_elf_info_t& elf = image->elf;
  crcrash_async_mobject_t table;
  crcrash_error_t err =
      crcrash_async_mobject_init(&table, image->task, elf.fde_table_addr, elf.fde_count * 8, true);
  if (err != CRCRASH_ERR_NONE) return err;
  const auto* entries = static_cast<const std::int32_t*>(
      crcrash_async_mobject_remap_address(&table, elf.fde_table_addr, 0, elf.fde_count * 8));
  if (entries == nullptr) {
    crcrash_async_mobject_free(&table);
    return CRCRASH_ERR_INVAL;
  }
  // Entries are sorted by initial location, both words relative to the start of .eh_frame_hdr.
  std::uint64_t low = 0, high = elf.fde_count;
  while (low < high) {
    std::uint64_t mid = low + (high - low) / 2;
    std::uint64_t location =
        elf.eh_frame_hdr_addr +
        static_cast<std::uint64_t>(static_cast<std::int64_t>(load<std::int32_t>(&entries[2 * mid])));
    if (location <= pc) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == 0) {
    crcrash_async_mobject_free(&table);
    return CRCRASH_ERR_NOTFOUND;
  }
  std::uint64_t fde =
      elf.eh_frame_hdr_addr +
      static_cast<std::uint64_t>(static_cast<std::int64_t>(load<std::int32_t>(&entries[2 * (low - 1) + 1])));
  crcrash_async_mobject_free(&table);
  if (fde < elf.eh_frame_addr || fde - elf.eh_frame_addr >= elf.eh_frame_size) return CRCRASH_ERR_NOTFOUND;
  *fde_offset = fde - elf.eh_frame_addr;
  return CRCRASH_ERR_NONE;
}

// ---- Symbols ----

crcrash_error_t crcrash_async_macho_symtab_reader_init(crcrash_async_macho_symtab_reader_t* reader,
                                                       crcrash_async_macho_t* image) {
  if (is_elf(image)) return CRCRASH_ERR_NOTSUP;
  crcrash_async_memset(reader, 0, sizeof *reader);
  reader->image = image;
  void* symtab_cmd = crcrash_async_macho_find_command(image, LC_SYMTAB);
  if (symtab_cmd == nullptr || !crcrash_async_mobject_verify_local_pointer(
                                   &image->load_cmds, reinterpret_cast<std::uint64_t>(symtab_cmd), 0, 24)) {
    CRCRASH_DEBUG("could not find LC_SYMTAB load command");
    return CRCRASH_ERR_NOTFOUND;
  }
  void* dysymtab_cmd = crcrash_async_macho_find_command(image, LC_DYSYMTAB);
  if (dysymtab_cmd != nullptr &&
      !crcrash_async_mobject_verify_local_pointer(&image->load_cmds,
                                                  reinterpret_cast<std::uint64_t>(dysymtab_cmd), 0, 24)) {
    dysymtab_cmd = nullptr;
  }
  crcrash_error_t err = crcrash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit);
  if (err != CRCRASH_ERR_NONE) {
    CRCRASH_DEBUG("crcrash_async_mobject_init() failure: %d in %s", err, image_name(image));
    return CRCRASH_ERR_INTERNAL;
  }
  const std::uint64_t entry = image->m64 ? 16 : 12;
  const std::uint32_t symoff = field32(image, symtab_cmd, 8);
  const std::uint32_t nsyms = field32(image, symtab_cmd, 12);
  const std::uint32_t stroff = field32(image, symtab_cmd, 16);
  const std::uint32_t strsize = field32(image, symtab_cmd, 20);
  const std::uint64_t linkedit = crcrash_async_mobject_base_address(&reader->linkedit.mobj);
  const auto symbols_at =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(symoff) - reader->linkedit.fileoff);
  reader->symtab =
      crcrash_async_mobject_remap_address(&reader->linkedit.mobj, linkedit, symbols_at, nsyms * entry);
  if (reader->symtab == nullptr) {
    CRCRASH_DEBUG(
        "crcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.symoff in %s",
        static_cast<unsigned long long>(linkedit), static_cast<unsigned long long>(nsyms * entry),
        image_name(image));
    crcrash_async_macho_mapped_segment_free(&reader->linkedit);
    return CRCRASH_ERR_INTERNAL;
  }
  const auto strings_at =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(stroff) - reader->linkedit.fileoff);
  reader->string_table = static_cast<char*>(
      crcrash_async_mobject_remap_address(&reader->linkedit.mobj, linkedit, strings_at, strsize));
  if (reader->string_table == nullptr) {
    CRCRASH_DEBUG(
        "crcrash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.stroff in %s",
        static_cast<unsigned long long>(linkedit), static_cast<unsigned long long>(strsize),
        image_name(image));
    crcrash_async_macho_mapped_segment_free(&reader->linkedit);
    return CRCRASH_ERR_INTERNAL;
  }
  reader->nsyms = nsyms;
  reader->string_table_size = strsize;
  if (dysymtab_cmd != nullptr) {
    const std::uint32_t ilocalsym = field32(image, dysymtab_cmd, 8);
    const std::uint32_t nlocalsym = field32(image, dysymtab_cmd, 12);
    const std::uint32_t iextdefsym = field32(image, dysymtab_cmd, 16);
    const std::uint32_t nextdefsym = field32(image, dysymtab_cmd, 20);
    // Checked in 64 bits: a start near 2^32 must not wrap the sum back inside the table.
    if (iextdefsym > nsyms || nextdefsym > nsyms - iextdefsym || ilocalsym > nsyms ||
        nlocalsym > nsyms - ilocalsym) {
      CRCRASH_DEBUG("iextdefsym=%x, ilocalsym=%x out of range nsym=%x", iextdefsym + nextdefsym,
                    ilocalsym + nlocalsym, nsyms);
      crcrash_async_macho_mapped_segment_free(&reader->linkedit);
      return CRCRASH_ERR_INVAL;
    }
    reader->symtab_global = static_cast<char*>(reader->symtab) + iextdefsym * entry;
    reader->nsyms_global = nextdefsym;
    reader->symtab_local = static_cast<char*>(reader->symtab) + ilocalsym * entry;
    reader->nsyms_local = nlocalsym;
  }
  return CRCRASH_ERR_NONE;
}

crcrash_async_macho_symtab_entry_t crcrash_async_macho_symtab_reader_read(
    crcrash_async_macho_symtab_reader_t* reader, void* symtab, std::uint32_t index) {
  const crcrash_async_macho_t* image = reader->image;
  crcrash_async_macho_symtab_entry_t entry{};
  const char* record = static_cast<const char*>(symtab) + index * (image->m64 ? 16 : 12);
  entry.n_strx = field32(image, record, 0);
  entry.n_type = static_cast<std::uint8_t>(crcrash_async_peek(record + 4));
  entry.n_sect = static_cast<std::uint8_t>(crcrash_async_peek(record + 5));
  entry.n_desc = image->byteorder->swap16(load<std::uint16_t>(record + 6));
  entry.n_value = image->m64 ? field64(image, record, 8) : field32(image, record, 8);
  entry.normalized_value = (entry.n_desc & 0x0008) != 0 ? (entry.n_value | 1) : entry.n_value;
  return entry;
}

const char* crcrash_async_macho_symtab_reader_symbol_name(crcrash_async_macho_symtab_reader_t* reader,
                                                          std::uint32_t n_strx) {
  if (n_strx >= reader->string_table_size) return nullptr;
  const char* name = reader->string_table + n_strx;
  const crcrash_async_mobject_t* linkedit = &reader->linkedit.mobj;
  for (std::uint64_t i = 0;; ++i) {
    if (!crcrash_async_mobject_verify_local_pointer(linkedit, reinterpret_cast<std::uint64_t>(name),
                                                    static_cast<std::int64_t>(i), 1)) {
      CRCRASH_DEBUG("End of mobject reached while walking string\n");
      return nullptr;
    }
    if (crcrash_async_peek(name + i) == 0) return name;
  }
}

void crcrash_async_macho_symtab_reader_free(crcrash_async_macho_symtab_reader_t* reader) {
  crcrash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

// Candidates are section symbols without debugging bits; the best has the greatest value not above
// pc_offset, and a later one replaces it only when strictly greater.
void search_table(crcrash_async_macho_symtab_reader_t* reader, void* table, std::uint32_t count,
                  std::uint64_t pc_offset, bool* found, crcrash_async_macho_symtab_entry_t* best) {
  for (std::uint32_t i = 0; i < count; ++i) {
    crcrash_async_macho_symtab_entry_t entry = crcrash_async_macho_symtab_reader_read(reader, table, i);
    if ((entry.n_type & 0xEE) != 0x0E) continue;
    if (entry.n_value > pc_offset) continue;
    if (!*found || entry.n_value > best->n_value) {
      *found = true;
      *best = entry;
    }
  }
}

}  // namespace

crcrash_error_t crcrash_async_macho_find_symbol_by_pc(crcrash_async_macho_t* image, std::uint64_t pc,
                                                      crcrash_async_macho_found_symbol_cb callback,
                                                      void* ctx) {
  if (is_elf(image)) {
    crcrash_async_mobject_t strings;
    std::uint64_t value = 0;
    const char* name = nullptr;
    std::uint64_t pc_offset = pc - image->slide;
    crcrash_error_t err = elf_find_symbol(image, &pc_offset, nullptr, &value, &name, &strings);
    if (err != CRCRASH_ERR_NONE) return err;
    callback(value, name, ctx);
    crcrash_async_mobject_free(&strings);
    return CRCRASH_ERR_NONE;
  }
  crcrash_async_macho_symtab_reader_t reader;
  crcrash_error_t err = crcrash_async_macho_symtab_reader_init(&reader, image);
  if (err != CRCRASH_ERR_NONE) return err;
  const std::uint64_t pc_offset = pc - image->slide;
  bool found = false;
  crcrash_async_macho_symtab_entry_t best{};
  if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
    search_table(&reader, reader.symtab_global, reader.nsyms_global, pc_offset, &found, &best);
    search_table(&reader, reader.symtab_local, reader.nsyms_local, pc_offset, &found, &best);
  } else {
    search_table(&reader, reader.symtab, reader.nsyms, pc_offset, &found, &best);
  }
  if (!found) {
    crcrash_async_macho_symtab_reader_free(&reader);
    return CRCRASH_ERR_NOTFOUND;
  }
  const char* name = crcrash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
  if (name == nullptr) {
    CRCRASH_DEBUG("Failed to read symbol name\n");
    crcrash_async_macho_symtab_reader_free(&reader);
    return CRCRASH_ERR_INVAL;
  }
  callback(image->slide + best.normalized_value, name, ctx);
  crcrash_async_macho_symtab_reader_free(&reader);
  return CRCRASH_ERR_NONE;
}

crcrash_error_t crcrash_async_macho_find_symbol_by_name(crcrash_async_macho_t* image, const char* name,
                                                        std::uint64_t* address) {
  if (is_elf(image)) {
    crcrash_async_mobject_t strings;
    const char* found_name = nullptr;
    crcrash_error_t err = elf_find_symbol(image, nullptr, name, address, &found_name, &strings);
    if (err == CRCRASH_ERR_NONE) crcrash_async_mobject_free(&strings);
    return err == CRCRASH_ERR_NONE ? CRCRASH_ERR_NONE : CRCRASH_ERR_NOTFOUND;
  }
  crcrash_async_macho_symtab_reader_t reader;
  if (crcrash_async_macho_symtab_reader_init(&reader, image) != CRCRASH_ERR_NONE) return CRCRASH_ERR_NOTFOUND;
  crcrash_error_t result = CRCRASH_ERR_NOTFOUND;
  for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
    crcrash_async_macho_symtab_entry_t entry =
        crcrash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
    if ((entry.n_type & 0xEE) != 0x0E) continue;
    const char* candidate = crcrash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
    if (candidate != nullptr && crcrash_async_strcmp(candidate, name) == 0) {
      *address = image->slide + entry.normalized_value;
      result = CRCRASH_ERR_NONE;
      break;
    }
  }
  crcrash_async_macho_symtab_reader_free(&reader);
  return result;
}

// ---- Strings ----

crcrash_error_t crcrash_async_macho_string_init(crcrash_async_macho_string_t* string,
                                                crcrash_async_macho_t* image, std::uint64_t address) {
  crcrash_async_memset(string, 0, sizeof *string);
  string->image = image;
  string->address = address;
  string->mapped = false;
  return CRCRASH_ERR_NONE;
}

namespace {

crcrash_error_t string_read(crcrash_async_macho_string_t* string) {
  if (string->mapped) return CRCRASH_ERR_NONE;
  std::uint64_t pages = 1;
  crcrash_error_t err =
      crcrash_async_mobject_init(&string->mobj, string->image->task, string->address, kStringPage, false);
  if (err != CRCRASH_ERR_NONE) return err;
  for (std::uint64_t i = 0;; ++i) {
    const char* p = static_cast<const char*>(
        crcrash_async_mobject_remap_address(&string->mobj, string->address, static_cast<std::int64_t>(i), 1));
    if (p == nullptr) {
      const std::uint64_t had = string->mobj.length;
      if ((pages + 1) * kStringPage > kStringLimit) {
        CRCRASH_DEBUG("Failed to remap additional space ...");
        crcrash_async_mobject_free(&string->mobj);
        return CRCRASH_ERR_INVAL;
      }
      CRCRASH_DEBUG("Mapped a string larger than one page! Remapping ...");
      crcrash_async_mobject_free(&string->mobj);
      ++pages;
      err = crcrash_async_mobject_init(&string->mobj, string->image->task, string->address,
                                       pages * kStringPage, false);
      if (err != CRCRASH_ERR_NONE) return err;
      p = static_cast<const char*>(crcrash_async_mobject_remap_address(&string->mobj, string->address,
                                                                       static_cast<std::int64_t>(i), 1));
      if (p == nullptr || string->mobj.length <= had) {
        CRCRASH_DEBUG("Failed to remap additional space ...");
        crcrash_async_mobject_free(&string->mobj);
        return CRCRASH_ERR_INVAL;
      }
    }
    if (crcrash_async_peek(p) == 0) {
      string->length = i;
      string->mapped = true;
      return CRCRASH_ERR_NONE;
    }
  }
}

}  // namespace

crcrash_error_t crcrash_async_macho_string_get_length(crcrash_async_macho_string_t* string,
                                                      std::uint64_t* length) {
  crcrash_error_t err = string_read(string);
  if (err != CRCRASH_ERR_NONE) return err;
  *length = string->length;
  return CRCRASH_ERR_NONE;
}

crcrash_error_t crcrash_async_macho_string_get_pointer(crcrash_async_macho_string_t* string,
                                                       const char** pointer) {
  crcrash_error_t err = string_read(string);
  if (err != CRCRASH_ERR_NONE) return err;
  void* p = crcrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
  if (p == nullptr) return CRCRASH_ERR_ACCESS;
  *pointer = static_cast<const char*>(p);
  return CRCRASH_ERR_NONE;
}

void crcrash_async_macho_string_free(crcrash_async_macho_string_t* string) {
  if (string->mapped) crcrash_async_mobject_free(&string->mobj);
  string->mapped = false;
}
