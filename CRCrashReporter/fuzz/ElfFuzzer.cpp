// ELF images from fuzzer bytes: program headers, notes, the dynamic section, hash tables, .dynsym and the
// .eh_frame_hdr search table. Addresses inside the input are relative to the buffer it is copied into.
#include "FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4 || data[0] != 0x7F || data[1] != 'E' || data[2] != 'L' || data[3] != 'F') return 0;
  fuzz_image::exercise(data, size);
  return 0;
}
