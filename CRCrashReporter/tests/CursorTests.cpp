// The frame cursor and the frame-pointer reader, on synthetic stacks and on this thread's own stack.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <vector>

#include "CrashTestSupport.h"
#include "crframe_cursor.h"

namespace pc = platform::crash;
using crash_test::CapturedStderr;

namespace {

const crframe_cursor_frame_reader_t kFramePointerOnly[] = {crframe_cursor_read_frame_ptr};

// Frame records laid out in memory: each is {saved frame pointer, return address}.
struct FakeStack {
  std::vector<std::uint64_t> words = std::vector<std::uint64_t>(64, 0);
  std::uint64_t at(std::size_t word) { return reinterpret_cast<std::uint64_t>(&words[word]); }
  void record(std::size_t word, std::uint64_t saved_fp, std::uint64_t ret) {
    words[word] = saved_fp;
    words[word + 1] = ret;
  }
};

crcrash_async_thread_state_t start_state(std::uint64_t ip, std::uint64_t fp) {
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state, pc::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_IP, ip);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_FP, fp);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_SP, fp - 64);
  return state;
}

// Walks until an error; returns the instruction pointers seen and the final code.
std::vector<std::uint64_t> walk(const crcrash_async_thread_state_t& start, crframe_error_t* end,
                                const crframe_cursor_frame_reader_t* readers = kFramePointerOnly,
                                std::size_t count = 1) {
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), &start, nullptr);
  std::vector<std::uint64_t> ips;
  for (int i = 0; i < 100; ++i) {
    crframe_error_t err = crframe_cursor_next_with_readers(&cursor, readers, count);
    if (err != CRFRAME_ERR_NONE) {
      *end = err;
      break;
    }
    std::uint64_t ip = 0;
    EXPECT_EQ(crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &ip), CRFRAME_ERR_NONE);
    ips.push_back(ip);
  }
  crframe_cursor_free(&cursor);
  return ips;
}

}  // namespace

TEST(CrashCursor, ErrorTexts) {
  EXPECT_STREQ(crframe_strerror(CRFRAME_ERR_NOFRAME), "No frames are available");
  EXPECT_STREQ(crframe_strerror(CRFRAME_ERR_BADREG), "Invalid register");
  EXPECT_STREQ(crframe_strerror(8), "Unhandled error code");
}

TEST(CrashCursor, FramePointerChains) {
  struct Case {
    const char* what;
    // Records at words 0, 8, 16, 24: saved fp given as a record index (-1 = null, -2 = same record, -3 =
    // lower), return address.
    std::vector<std::pair<int, std::uint64_t>> records;
    std::vector<std::uint64_t> expected_ips;
    crframe_error_t expected_end;
  } cases[] = {
      {"null saved frame pointer gives one more frame then the end",
       {{1, 0x5001}, {-1, 0x5002}},
       {0x4000, 0x5001, 0x5002},
       CRFRAME_ERR_NOFRAME},
      {"return address 0 ends the walk", {{1, 0x5001}, {2, 0}}, {0x4000, 0x5001}, CRFRAME_ERR_NOFRAME},
      {"return address 4096 ends the walk", {{1, 0x1000}}, {0x4000}, CRFRAME_ERR_NOFRAME},
      {"return address 4097 continues",
       {{1, 0x1001}, {-1, 0x5002}},
       {0x4000, 0x1001, 0x5002},
       CRFRAME_ERR_NOFRAME},
      {"the same frame pointer twice is accepted", {{-2, 0x5001}}, {}, CRFRAME_ERR_NONE},
      {"a frame pointer moving down is refused",
       {{1, 0x5001}, {-3, 0x5002}},
       {0x4000, 0x5001, 0x5002},
       CRFRAME_ERR_BADFRAME},
  };
  for (const Case& c : cases) {
    FakeStack stack;
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      int target = c.records[i].first;
      std::uint64_t saved = target == -1   ? 0
                            : target == -2 ? stack.at(8 * i)
                            : target == -3 ? stack.at(0) - 64
                                           : stack.at(8 * target);
      stack.record(8 * i, saved, c.records[i].second);
    }
    CapturedStderr captured;
    crframe_error_t end = CRFRAME_ERR_NONE;
    std::vector<std::uint64_t> ips = walk(start_state(0x4000, stack.at(0)), &end);
    if (c.expected_end == CRFRAME_ERR_NONE) {
      // A record pointing at itself is never refused: the walk goes on until the caller stops it.
      EXPECT_EQ(ips.size(), 100u) << c.what;
      continue;
    }
    EXPECT_EQ(ips, c.expected_ips) << c.what;
    EXPECT_EQ(end, c.expected_end) << c.what;
    if (c.expected_end == CRFRAME_ERR_BADFRAME) {
      EXPECT_NE(captured.text().find("Stack growing in wrong direction, terminating stack walk"),
                std::string::npos);
    }
  }
}

TEST(CrashCursor, FirstStepKeepsTheInitialFrame) {
  FakeStack stack;
  stack.record(0, 0, 0x5001);
  crcrash_async_thread_state_t start = start_state(0x4000, stack.at(0));
  crcrash_async_thread_state_set_reg(&start, CRCRASH_X86_64_RBX, 0xBB);
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), &start, nullptr);
  EXPECT_EQ(cursor.depth, 0u);
  EXPECT_EQ(crframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 0), CRFRAME_ERR_NONE)
      << "no reader runs";
  std::uint64_t value = 0;
  EXPECT_EQ(crframe_cursor_get_reg(&cursor, CRCRASH_X86_64_RBX, &value), CRFRAME_ERR_NONE);
  EXPECT_EQ(value, 0xBBu);
  EXPECT_EQ(crframe_cursor_get_regcount(&cursor), 21u);
  EXPECT_STREQ(crframe_cursor_get_regname(&cursor, 2), "rsp");
  EXPECT_EQ(crframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 0), CRFRAME_ERR_INVAL)
      << "an empty table";
  ASSERT_EQ(crframe_cursor_next_with_readers(&cursor, kFramePointerOnly, 1), CRFRAME_ERR_NONE);
  // A frame found through the chain knows only its instruction and frame pointers.
  EXPECT_EQ(crframe_cursor_get_reg(&cursor, CRCRASH_REG_SP, &value), CRFRAME_ERR_NOTSUP);
  EXPECT_EQ(crframe_cursor_get_reg(&cursor, CRCRASH_X86_64_RBX, &value), CRFRAME_ERR_NOTSUP);
  EXPECT_EQ(cursor.frame.valid_regs, 0b11u);
  crframe_cursor_free(&cursor);
}

TEST(CrashCursor, ReaderFailures) {
  CapturedStderr captured;
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state, pc::CPU_TYPE_X86_64);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_IP, 0x4000);
  crcrash_async_thread_state_t next;
  EXPECT_EQ(crframe_cursor_read_frame_ptr(pc::mach_task_self(), nullptr, &state, nullptr, &next),
            CRFRAME_ERR_BADFRAME);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_FP, 0);
  EXPECT_EQ(crframe_cursor_read_frame_ptr(pc::mach_task_self(), nullptr, &state, nullptr, &next),
            CRFRAME_ERR_NOFRAME);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_FP, 0x10);
  EXPECT_EQ(crframe_cursor_read_frame_ptr(pc::mach_task_self(), nullptr, &state, nullptr, &next),
            CRFRAME_ERR_BADFRAME);
  std::string log = captured.text();
  EXPECT_NE(log.find("The frame pointer is unavailable, can't read saved register."), std::string::npos);
  EXPECT_NE(log.find("Failed to read frame: 1"), std::string::npos) << log;
  // The standard table's compact and DWARF readers pass; a table of readers that all fail returns the
  // last reader's code.
  const crframe_cursor_frame_reader_t passing[] = {crframe_cursor_read_compact_unwind,
                                                   crframe_cursor_read_dwarf_unwind};
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), &state, nullptr);
  EXPECT_EQ(crframe_cursor_next_with_readers(&cursor, passing, 2), CRFRAME_ERR_NONE);
  EXPECT_EQ(crframe_cursor_next_with_readers(&cursor, passing, 2), CRFRAME_ERR_NOTSUP);
  crframe_cursor_free(&cursor);
}

TEST(CrashCursor, ThirtyTwoBitFrames) {
  // 32-bit frame records need addresses below 4 GiB.
  void* low =
      mmap(nullptr, pc::page_size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  ASSERT_NE(low, MAP_FAILED);
  auto* records = static_cast<std::uint32_t*>(low);
  auto base = reinterpret_cast<std::uint64_t>(records);
  records[0] = static_cast<std::uint32_t>(base + 8);
  records[1] = 0x6001;
  records[2] = 0;
  records[3] = 0x6002;
  crcrash_async_thread_state_t state;
  crcrash_async_thread_state_init(&state, pc::CPU_TYPE_X86);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_IP, 0x4000);
  crcrash_async_thread_state_set_reg(&state, CRCRASH_REG_FP, base);
  crframe_error_t end = CRFRAME_ERR_NONE;
  EXPECT_EQ(walk(state, &end), (std::vector<std::uint64_t>{0x4000, 0x6001, 0x6002}));
  EXPECT_EQ(end, CRFRAME_ERR_NOFRAME);
  munmap(low, pc::page_size());
}

namespace {

constexpr int kChainDepth = 6;

struct ChainWalk {
  std::uint64_t expected[kChainDepth + 1];
  std::vector<std::uint64_t> walked;
};

int walk_current(crcrash_async_thread_state_t* state, void* context) {
  auto* chain = static_cast<ChainWalk*>(context);
  crframe_cursor_t cursor;
  crframe_cursor_init(&cursor, pc::mach_task_self(), state, nullptr);
  while (chain->walked.size() < kChainDepth + 1 && crframe_cursor_next(&cursor) == CRFRAME_ERR_NONE) {
    std::uint64_t ip = 0;
    crframe_cursor_get_reg(&cursor, CRCRASH_REG_IP, &ip);
    chain->walked.push_back(ip);
  }
  crframe_cursor_free(&cursor);
  return 0;
}

// Not cloned either: at -O3 GCC would otherwise run a specialised copy placed away from chain() itself.
__attribute__((noinline, noclone)) int chain(ChainWalk* walk, int level) {
  // Entry `level` is this function's own return address: the frame that called it.
  walk->expected[level] = reinterpret_cast<std::uint64_t>(__builtin_return_address(0));
  int result;
  if (level == 1) {
    result = crcrash_async_thread_state_current(walk_current, walk);
    // The call above returns here: its return address is the first frame of the walk.
  } else {
    result = chain(walk, level - 1);
  }
  asm volatile("" ::: "memory");
  return result + 1;
}

}  // namespace

// The cursor's walk of this thread equals the chain of return addresses the compiler reports.
TEST(CrashCursor, FramePointerWalkEqualsReturnAddressChain) {
  ChainWalk walk{};
  chain(&walk, kChainDepth);
  ASSERT_EQ(walk.walked.size(), static_cast<std::size_t>(kChainDepth + 1));
  auto start = reinterpret_cast<std::uint64_t>(&chain);
  EXPECT_GT(walk.walked[0], start) << "the first frame is inside chain()";
  EXPECT_LT(walk.walked[0], start + 256);
  for (int level = 1; level <= kChainDepth; ++level) {
    EXPECT_EQ(walk.walked[level], walk.expected[level]) << "frame " << level;
  }
}
