#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "platform/Data.h"

class TLChannelUnitProtocol;
class TLEncrypter;

// One slot's content: the paths of its files and the log it holds. Never changed once published in a
// slot, so the crash-time writer can read it without a lock while other threads go on replacing slots.
struct TLCrashesBufferedLog {
  const char* bufferPath;
  const char* targetTokenFilePath;
  // The log's keyed archive (may hold NUL bytes); empty for a free slot.
  const char* buffer;
  std::size_t bufferLength;
  // The encrypted target token, or empty.
  const char* targetToken;
  std::size_t targetTokenLength;
  const char* internalId;
  // Seconds since 1970 when the slot was filled; 0 when free.
  double timestamp;
};

// The crash-time copy of the logs in flight: 60 slots in process-wide storage, each one atomic pointer
// to an immutable TLCrashesBufferedLog, and the writer that dumps them to their files with open, write
// and close only.
//
// Slots are replaced under a lock by swapping the pointer. The writer raises a flag before it reads
// any slot; a replaced block is freed only when, after the swap, the flag is still down (the writer
// cannot reach it any more); otherwise it is kept for the rest of the process, since the writer may be
// copying it right now.
class TLCrashesLogBuffer {
 public:
  static constexpr int kSlotCount = 60;
  static constexpr const char* kBufferExtension = "tlcrasheslogbuffer";
  static constexpr const char* kTargetTokenExtension = "targettoken";

  // Points slot i at "<directory>/<i>.tlcrasheslogbuffer" (and its token file), empty.
  static void setupWithDirectory(const std::string& directory);
  // Stores a log's archive in the first free slot, or over the oldest one when all are full; answers
  // the slot's index and whether it overwrote a log.
  static std::pair<int, bool> store(const platform::Data& archive, const std::string& targetToken,
                                    const std::string& internalId, double timestamp);
  // Archives the log and stores it (crash logs and attachments are never buffered; a log whose
  // archive is empty is skipped). The target token, when the log has one, is encrypted first.
  static void bufferLog(const std::shared_ptr<TLLog>& log, const std::string& internalId,
                        TLEncrypter& encrypter);
  // Frees every slot holding the id; after a crash-time write also removes their buffer files (and
  // names the log, when given, in the log lines).
  static void clearWithInternalId(const std::string& internalId, const std::shared_ptr<TLLog>& log = nullptr);
  // The crash-time writer: every slot to its file (empty for a free slot), and the token files of
  // slots with a token. Async-signal-safe.
  static void writeAtCrash();
  static bool bufferWrittenAtCrash();

  // Re-enqueues the logs of the buffer files in `directoryComponent` (below the SDK storage folder) on
  // the unit and empties every buffer file; token files are restored into the logs and deleted.
  static void processLogBufferAfterCrash(const std::string& directoryComponent,
                                         const std::shared_ptr<TLChannelUnitProtocol>& unit,
                                         TLEncrypter& encrypter);
  // Empties the non-empty buffer files.
  static void emptyLogBufferFiles(const std::string& directoryComponent);

  // A copy of a slot, for tests.
  struct SlotContent {
    std::string bufferPath;
    platform::Data buffer;
    std::string targetToken;
    std::string internalId;
    double timestamp = 0;
  };
  static SlotContent slot(int index);
  // Frees every block, kept ones too, and lowers the crash-time flag. Only while no writer runs.
  static void resetForTesting();
  // Lowers the crash-time flag, so that replaced blocks are freed again. Only while no writer runs.
  static void lowerWrittenFlagForTesting();
};
