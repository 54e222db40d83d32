#include "TelemetryCrashes/Internals/TLCrashesLogBuffer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>

#include "Telemetry/Internals/Channel/TLChannelProtocol.h"
#include "Telemetry/Internals/Model/TLArchiving.h"
#include "Telemetry/Internals/Util/TLEncrypter.h"
#include "Telemetry/Internals/Util/TLLogger.h"
#include "Telemetry/Internals/Util/TLUtility.h"
#include "TelemetryCrashes/Model/TLAppleErrorLog.h"
#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"
#include "platform/Files.h"

namespace {

constexpr const char* kLogBufferTag = "TelemetryCrashes";
// A buffer file holds one log; anything larger was not written by this buffer.
constexpr std::uintmax_t kMaxBufferFileSize = 4 * 1024 * 1024;
constexpr std::uintmax_t kMaxTokenFileSize = 64 * 1024;

std::atomic<TLCrashesBufferedLog*> g_slots[TLCrashesLogBuffer::kSlotCount];
std::atomic<bool> g_writtenAtCrash{false};
std::mutex g_logBufferMutex;
// Blocks replaced after the writer started: it may still be reading them, so they stay for the
// process (kept reachable here).
std::vector<TLCrashesBufferedLog*>& retiredBlocks() {
  static auto* blocks = new std::vector<TLCrashesBufferedLog*>();
  return *blocks;
}

// One allocation holding the record and copies of its strings, each with a terminating NUL.
TLCrashesBufferedLog* makeBlock(const std::string& bufferPath, const std::string& tokenPath,
                                const void* buffer, std::size_t bufferLength, const std::string& token,
                                const std::string& internalId, double timestamp) {
  const std::size_t size = sizeof(TLCrashesBufferedLog) + bufferPath.size() + 1 + tokenPath.size() + 1 +
                           bufferLength + 1 + token.size() + 1 + internalId.size() + 1;
  auto* block = static_cast<TLCrashesBufferedLog*>(std::calloc(1, size));
  if (block == nullptr) return nullptr;
  char* cursor = reinterpret_cast<char*>(block + 1);
  auto place = [&cursor](const void* bytes, std::size_t length) {
    char* start = cursor;
    if (length > 0) std::memcpy(cursor, bytes, length);
    cursor[length] = '\0';
    cursor += length + 1;
    return start;
  };
  block->bufferPath = place(bufferPath.data(), bufferPath.size());
  block->targetTokenFilePath = place(tokenPath.data(), tokenPath.size());
  block->buffer = place(buffer, bufferLength);
  block->bufferLength = bufferLength;
  block->targetToken = place(token.data(), token.size());
  block->targetTokenLength = token.size();
  block->internalId = place(internalId.data(), internalId.size());
  block->timestamp = timestamp;
  return block;
}

// Publishes the block in the slot; caller holds g_logBufferMutex.
void publish(int index, TLCrashesBufferedLog* block) {
  TLCrashesBufferedLog* old = g_slots[index].exchange(block, std::memory_order_seq_cst);
  if (old == nullptr) return;
  if (!g_writtenAtCrash.load(std::memory_order_seq_cst)) {
    // The writer raises its flag before reading any slot, so with the flag still down after the swap
    // it can only ever see the new block.
    std::free(old);
  } else {
    retiredBlocks().push_back(old);
  }
}

std::string tokenPathFor(const std::string& bufferPath) {
  std::string path = bufferPath;
  auto at = path.rfind(TLCrashesLogBuffer::kBufferExtension);
  if (at != std::string::npos)
    path.replace(at, std::strlen(TLCrashesLogBuffer::kBufferExtension),
                 TLCrashesLogBuffer::kTargetTokenExtension);
  return path;
}

void writeAll(const char* path, const char* bytes, std::size_t length) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written <= 0) break;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  ::close(fd);
}

}  // namespace

void TLCrashesLogBuffer::setupWithDirectory(const std::string& directory) {
  std::lock_guard lock(g_logBufferMutex);
  for (int i = 0; i < kSlotCount; ++i) {
    const std::string bufferPath = fmt::format("{}/{}.{}", directory, i, kBufferExtension);
    publish(i, makeBlock(bufferPath, tokenPathFor(bufferPath), nullptr, 0, "", "", 0));
  }
}

std::pair<int, bool> TLCrashesLogBuffer::store(const platform::Data& archive, const std::string& targetToken,
                                               const std::string& internalId, double timestamp) {
  std::lock_guard lock(g_logBufferMutex);
  double oldest = std::numeric_limits<double>::max();
  int candidate = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    TLCrashesBufferedLog* current = g_slots[i].load();
    if (current == nullptr) continue;
    if (current->bufferLength == 0) {
      publish(i, makeBlock(current->bufferPath, current->targetTokenFilePath, archive.data(), archive.size(),
                           targetToken, internalId, timestamp));
      TLLogVerbose(kLogBufferTag, "Found an empty buffer position.");
      return {i, false};
    }
    if (current->timestamp < oldest) {
      oldest = current->timestamp;
      candidate = i;
      TLLogVerbose(kLogBufferTag, "Remembering index {} for oldest timestamp {:f}.", i, oldest);
    }
  }
  TLCrashesBufferedLog* current = g_slots[candidate].load();
  if (current == nullptr) return {-1, false};
  TLLogVerbose(kLogBufferTag, "Reached end of buffer. Next step is overwriting the oldest one.");
  publish(candidate, makeBlock(current->bufferPath, current->targetTokenFilePath, archive.data(),
                               archive.size(), targetToken, internalId, timestamp));
  TLLogVerbose(kLogBufferTag, "Overwrote buffered log at index {}.", candidate);
  return {candidate, true};
}

void TLCrashesLogBuffer::bufferLog(const std::shared_ptr<TLLog>& log, const std::string& internalId,
                                   TLEncrypter& encrypter) {
  if (!log || dynamic_cast<const TLAppleErrorLog*>(log.get()) ||
      dynamic_cast<const TLErrorAttachmentLog*>(log.get()))
    return;
  platform::Data archive =
      TLArchivedData(platform::ArchiveObject(std::static_pointer_cast<platform::Coding>(log)));
  if (archive.empty()) return;
  std::string token;
  if (auto tokens = log->transmissionTargetTokens(); tokens && !tokens->empty())
    token = encrypter.encryptString(*tokens->begin()).value_or("");
  TLLogVerbose(kLogBufferTag, "Storing a log to Crashes Buffer: (sid: {}, type: {})",
               log->sid().value_or("(null)"), log->type().value_or("(null)"));
  store(archive, token, internalId, platform::Date::now().timeIntervalSince1970());
}

void TLCrashesLogBuffer::clearWithInternalId(const std::string& internalId,
                                             const std::shared_ptr<TLLog>& log) {
  if (internalId.empty()) return;
  std::lock_guard lock(g_logBufferMutex);
  for (int i = 0; i < kSlotCount; ++i) {
    TLCrashesBufferedLog* current = g_slots[i].load();
    if (current == nullptr || internalId != current->internalId) continue;
    TLLogVerbose(kLogBufferTag, "Deleting a log from buffer with id {}", internalId);
    const std::string bufferPath = current->bufferPath;
    publish(i, makeBlock(current->bufferPath, current->targetTokenFilePath, nullptr, 0, "", "", 0));
    if (g_writtenAtCrash.load()) {
      ::unlink(bufferPath.c_str());
      TLLogVerbose(kLogBufferTag, "Deleted a log from Crashes Buffer (sid: {}, type: {})",
                   log ? log->sid().value_or("(null)") : "(null)",
                   log ? log->type().value_or("(null)") : "(null)");
      TLLogVerbose(kLogBufferTag, "Deleted crash buffer file: {}.", bufferPath);
    }
  }
}

void TLCrashesLogBuffer::writeAtCrash() {
  g_writtenAtCrash.store(true, std::memory_order_seq_cst);
  for (auto& slot : g_slots) {
    const TLCrashesBufferedLog* block = slot.load(std::memory_order_seq_cst);
    if (block == nullptr) continue;
    writeAll(block->bufferPath, block->buffer, block->bufferLength);
    if (block->targetTokenLength > 0)
      writeAll(block->targetTokenFilePath, block->targetToken, block->targetTokenLength);
  }
}

bool TLCrashesLogBuffer::bufferWrittenAtCrash() { return g_writtenAtCrash.load(); }

void TLCrashesLogBuffer::processLogBufferAfterCrash(const std::string& directoryComponent,
                                                    const std::shared_ptr<TLChannelUnitProtocol>& unit,
                                                    TLEncrypter& encrypter) {
  auto files = TLUtility::contentsOfDirectory(directoryComponent);
  if (!files) return;
  TLCrashesRegisterArchivedClasses();
  for (const auto& file : *files) {
    if (file.extension() != std::string(".") + kBufferExtension) continue;
    auto data = platform::files::readSmallRegularFile(file, kMaxBufferFileSize);
    if (data && !data->empty()) {
      auto log = TLUnarchivedObject(*data).asObjectOfClass<TLAbstractLog>();
      if (log) {
        const std::filesystem::path tokenFile = tokenPathFor(file.string());
        if (auto tokenData = platform::files::readSmallRegularFile(tokenFile, kMaxTokenFileSize)) {
          auto token = encrypter.decryptString(std::string(tokenData->begin(), tokenData->end()));
          if (token) {
            log->addTransmissionTargetToken(*token);
          } else {
            TLLogError(kTLLogTag, "Failed to decrypt the target token.");
          }
          TLUtility::deleteFileAtURL(tokenFile);
        }
        TLLogDebug(kLogBufferTag, "Re-enqueueing buffered log, type: {}.", log->type().value_or("(null)"));
        if (unit) unit->enqueueItem(log, 1);
      }
    }
    // Whatever it held, the file starts the run empty.
    std::ofstream(file, std::ios::binary | std::ios::trunc);
  }
}

void TLCrashesLogBuffer::emptyLogBufferFiles(const std::string& directoryComponent) {
  auto files = TLUtility::contentsOfDirectory(directoryComponent);
  if (!files) {
    TLLogError(kLogBufferTag, "Couldn't get files in the directory \"{}\"", directoryComponent);
    return;
  }
  for (const auto& file : *files) {
    if (file.extension() != std::string(".") + kBufferExtension) continue;
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size == 0) continue;
    TLUtility::createFileAtPathComponent(directoryComponent + "/" + file.filename().string(), std::nullopt,
                                         false, true);
  }
}

TLCrashesLogBuffer::SlotContent TLCrashesLogBuffer::slot(int index) {
  std::lock_guard lock(g_logBufferMutex);
  SlotContent content;
  if (index < 0 || index >= kSlotCount) return content;
  const TLCrashesBufferedLog* block = g_slots[index].load();
  if (block == nullptr) return content;
  content.bufferPath = block->bufferPath;
  content.buffer.assign(block->buffer, block->buffer + block->bufferLength);
  content.targetToken.assign(block->targetToken, block->targetTokenLength);
  content.internalId = block->internalId;
  content.timestamp = block->timestamp;
  return content;
}

void TLCrashesLogBuffer::resetForTesting() {
  std::lock_guard lock(g_logBufferMutex);
  for (auto& slot : g_slots) std::free(slot.exchange(nullptr));
  for (TLCrashesBufferedLog* block : retiredBlocks()) std::free(block);
  retiredBlocks().clear();
  g_writtenAtCrash.store(false);
}

void TLCrashesLogBuffer::lowerWrittenFlagForTesting() { g_writtenAtCrash.store(false); }
