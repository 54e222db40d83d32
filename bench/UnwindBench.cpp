// Stack walks of a 50-frame -O2 chain built without frame pointers (this file is compiled with
// -fomit-frame-pointer): the frame cursor with the .eh_frame_hdr search table, the cursor scanning
// .eh_frame from its start (hint 0), and the C++ runtime's _Unwind_Backtrace. Prints ns per frame.
#include <unwind.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "Platform/CRLoader.h"
#include "Platform/CRTaskMemory.h"
#include "crcrash_async_image_list.h"
#include "crframe_cursor.h"
#include "crframe_dwarf_unwind.h"

namespace pc = platform::crash;

namespace {

crcrash_async_image_list_t g_images;

struct Run {
  const crframe_cursor_frame_reader_t* readers;
  std::size_t reader_count;
  std::size_t frames = 0;
};

int walk(crcrash_async_thread_state_t* state, void* context) {
  auto* run = static_cast<Run*>(context);
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), state, &g_images);
  while (crframe_cursor_next_with_readers(&cursor, run->readers, run->reader_count) == CRFRAME_ERR_NONE)
    run->frames++;
  crframe_cursor_free(&cursor);
  return 0;
}

_Unwind_Reason_Code count_frame(struct _Unwind_Context*, void* arg) {
  ++*static_cast<std::size_t*>(arg);
  return _URC_NO_REASON;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

__attribute__((noinline)) void measure() {
  static const crframe_cursor_frame_reader_t with_table[] = {
      crframe_cursor_read_compact_unwind, crframe_cursor_read_dwarf_unwind, crframe_cursor_read_frame_ptr};
  static const crframe_cursor_frame_reader_t linear[] = {crframe_cursor_read_compact_unwind,
                                                         crframe_cursor_read_dwarf_unwind_linear,
                                                         crframe_cursor_read_frame_ptr};
  struct Case {
    const char* name;
    const crframe_cursor_frame_reader_t* readers;
    int walks;
  };
  const Case cases[] = {{"cursor, search-table hint", with_table, 10000},
                        {"cursor, hint 0 (linear scan)", linear, 100}};
  crcrash_nasync_image_list_set_reading(&g_images, true);
  for (const Case& c : cases) {
    Run run{c.readers, 3};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < c.walks; ++i) crcrash_async_thread_state_current(walk, &run);
    const double elapsed = seconds_since(start);
    std::printf("%-32s %6d walks, %3zu frames each: %8.1f ns per frame\n", c.name, c.walks,
                run.frames / static_cast<std::size_t>(c.walks),
                elapsed * 1e9 / static_cast<double>(run.frames));
  }
  crcrash_nasync_image_list_set_reading(&g_images, false);
  std::size_t frames = 0;
  const int walks = 10000;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < walks; ++i) _Unwind_Backtrace(count_frame, &frames);
  const double elapsed = seconds_since(start);
  std::printf("%-32s %6d walks, %3zu frames each: %8.1f ns per frame\n", "_Unwind_Backtrace", walks,
              frames / static_cast<std::size_t>(walks), elapsed * 1e9 / static_cast<double>(frames));
}

__attribute__((noinline)) int chain(int depth) {
  if (depth == 0) {
    measure();
    return 0;
  }
  int r = chain(depth - 1);
  asm volatile("" ::: "memory");
  return r + depth;
}

}  // namespace

int main() {
  crcrash_nasync_image_list_init(&g_images, pc::mach_task_self());
  pc::dyld_register_image_callbacks(
      [](std::uint64_t header, std::intptr_t, const char* name, void* context) {
        crcrash_nasync_image_list_append(static_cast<crcrash_async_image_list_t*>(context), header, name);
      },
      [](std::uint64_t header, std::intptr_t, const char*, void* context) {
        crcrash_nasync_image_list_remove(static_cast<crcrash_async_image_list_t*>(context), header);
      },
      &g_images);
  pc::region_table_refresh();
  // measure() itself and the frames below main add a few frames to the 50 of the chain.
  return chain(50) == 0 ? 0 : 1;
}
