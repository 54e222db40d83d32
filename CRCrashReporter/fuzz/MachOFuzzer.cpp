// Mach-O images from fuzzer bytes: header, load commands, segments, sections, symbols and strings.
#include "FuzzImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Mach-O only; the ELF fuzzer covers the other magic.
  if (size >= 4 && data[0] == 0x7F && data[1] == 'E') return 0;
  fuzz_image::exercise(data, size);
  return 0;
}
