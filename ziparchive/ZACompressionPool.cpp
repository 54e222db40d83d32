#include "ziparchive/ZACompressionPool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

namespace {
constexpr std::size_t kReadChunk = 256 * 1024;
}

ZACompressionPool::ZACompressionPool(unsigned threads, std::uint64_t windowBytes)
    : windowBytes_(windowBytes) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

ZACompressionPool::~ZACompressionPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (auto& thread : threads_) thread.join();
}

void ZACompressionPool::add(const std::shared_ptr<Job>& job) {
  struct stat info {};
  job->scheduledSize = ::stat(job->path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  {
    std::lock_guard lock(mutex_);
    job->queued = true;
    queue_.push_back(job);
  }
  changed_.notify_all();
}

bool ZACompressionPool::mayStartNext() const {
  if (queue_.empty()) return false;
  // The oldest waiting job may always start when nothing is ahead, so a file larger than the
  // window still goes through.
  return bytesAhead_ == 0 || bytesAhead_ + queue_.front()->scheduledSize <= windowBytes_;
}

void ZACompressionPool::work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || mayStartNext(); });
    if (stopping_) return;
    std::shared_ptr<Job> job = queue_.front();
    queue_.pop_front();
    if (job->released) continue;  // its entry went away before its turn
    job->started = true;
    bytesAhead_ += job->scheduledSize;
    ++running_;
    lock.unlock();
    deflateFile(*job);
    lock.lock();
    --running_;
    job->done = true;
    if (job->released) dropBytes(*job);
    changed_.notify_all();
  }
}

void ZACompressionPool::wait(Job& job) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return job.done; });
}

void ZACompressionPool::release(Job& job) {
  {
    std::lock_guard lock(mutex_);
    if (job.released) return;
    job.released = true;
    // A job still being deflated drops its bytes when its worker is done with it.
    if (job.done) dropBytes(job);
  }
  changed_.notify_all();
}

// Called with the lock held, once the job is both done and released.
void ZACompressionPool::dropBytes(Job& job) {
  bytesAhead_ -= job.scheduledSize;
  std::vector<std::uint8_t>().swap(job.compressed);
}

void ZACompressionPool::deflateFile(Job& job) {
  int fd = ::open(job.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    job.error = errno;
    return;
  }
  z_stream stream{};
  if (deflateInit2(&stream, job.level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    ::close(fd);
    job.error = -1;
    return;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0)
    job.compressed.reserve(deflateBound(&stream, static_cast<uLong>(info.st_size)));
  std::vector<std::uint8_t> input(kReadChunk);
  std::uint8_t output[64 * 1024];
  uLong crc = crc32(0, nullptr, 0);
  bool ok = true;
  for (bool end = false; ok && !end;) {
    if (stopping_) {
      job.error = ECANCELED;
      ok = false;
      break;
    }
    ssize_t got = ::read(fd, input.data(), input.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      job.error = errno;
      ok = false;
      break;
    }
    end = got == 0;
    crc = crc32(crc, input.data(), static_cast<uInt>(got));
    job.size += static_cast<std::uint64_t>(got);
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = output;
      stream.avail_out = sizeof output;
      int result = deflate(&stream, end ? Z_FINISH : Z_NO_FLUSH);
      if (result == Z_STREAM_ERROR) {
        job.error = -1;
        ok = false;
        break;
      }
      job.compressed.insert(job.compressed.end(), output, output + (sizeof output - stream.avail_out));
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  ::close(fd);
  job.crc = static_cast<std::uint32_t>(crc);
  if (!ok) std::vector<std::uint8_t>().swap(job.compressed);
  job.compressedSize = job.compressed.size();
}
