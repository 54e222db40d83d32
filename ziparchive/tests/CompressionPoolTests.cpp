#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "ZipTestSupport.h"
#include "ziparchive/ZACompressionPool.h"

using namespace ziptest;

namespace {

std::string inflateRaw(const std::vector<std::uint8_t>& compressed) {
  z_stream stream{};
  inflateInit2(&stream, -MAX_WBITS);
  std::string out;
  std::vector<std::uint8_t> input = compressed;
  stream.next_in = input.data();
  stream.avail_in = static_cast<uInt>(input.size());
  char chunk[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END ? out : "<broken stream>";
}

}  // namespace

class ZACompressionPoolTest : public qvtesting::SandboxTest {};

// Workers run ahead within a small window; every job comes out whole, in order, even when the
// writer drops jobs before their turn, and a file that vanished reports its error.
TEST_F(ZACompressionPoolTest, DeflatesAheadWithinTheWindow) {
  std::mt19937 random(11);
  std::vector<std::string> contents;
  std::vector<std::shared_ptr<ZACompressionPool::Job>> jobs;
  ZACompressionPool pool(4, 256 * 1024);
  for (int i = 0; i < 60; ++i) {
    std::string content;
    const std::size_t size = random() % (300 * 1024);
    for (std::size_t k = 0; k < size; ++k)
      content += static_cast<char>('a' + random() % (i % 5 == 0 ? 26 : 3));
    const fs::path path = root() / ("file" + std::to_string(i));
    writeText(path, content);
    contents.push_back(content);
    jobs.push_back(std::make_shared<ZACompressionPool::Job>(path.string(), 6));
  }
  fs::remove(root() / "file7");
  for (const auto& job : jobs) pool.add(job);
  pool.release(*jobs[30]);  // dropped before its turn
  pool.release(*jobs[31]);
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (i == 30 || i == 31) continue;
    pool.wait(*jobs[i]);
    if (i == 7) {
      EXPECT_EQ(jobs[i]->error, ENOENT);
    } else {
      ASSERT_EQ(jobs[i]->error, 0) << i;
      EXPECT_EQ(jobs[i]->size, contents[i].size());
      EXPECT_EQ(jobs[i]->compressedSize, jobs[i]->compressed.size());
      EXPECT_EQ(jobs[i]->crc, crc32(0, reinterpret_cast<const Bytef*>(contents[i].data()),
                                    static_cast<uInt>(contents[i].size())));
      EXPECT_EQ(inflateRaw(jobs[i]->compressed), contents[i]) << i;
    }
    pool.release(*jobs[i]);
    EXPECT_TRUE(jobs[i]->compressed.empty());
  }
}

TEST_F(ZACompressionPoolTest, StopsWithJobsStillQueued) {
  writeText(root() / "big", std::string(8 << 20, 'x'));
  auto pool = std::make_unique<ZACompressionPool>(2, 1024);
  std::vector<std::shared_ptr<ZACompressionPool::Job>> jobs;
  for (int i = 0; i < 20; ++i) {
    jobs.push_back(std::make_shared<ZACompressionPool::Job>((root() / "big").string(), 9));
    pool->add(jobs.back());
  }
  pool.reset();  // must not wait for the queued jobs
  EXPECT_FALSE(jobs.back()->started);
}
