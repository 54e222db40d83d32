#include "TelemetryCrashes/Model/TLThread.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kId = "id";
constexpr const char* kName = "name";
constexpr const char* kFrames = "frames";
constexpr const char* kException = "exception";
}  // namespace

std::shared_ptr<TLThread> TLThread::initWithCoder(platform::KeyedUnarchiver& coder) {
  // Starts from a plain object, so the thread holds exactly the archived frames (or none).
  auto thread = std::make_shared<TLThread>();
  thread->threadId_ = TLDecodeInteger(coder, kId);
  thread->name_ = coder.decodeStringForKey(kName);
  thread->frames_ = coder.decodeArrayOfObjectsOfClass<TLStackFrame>(kFrames);
  thread->exception_ = coder.decodeObjectOfClass<TLException>(kException);
  return thread;
}

nlohmann::ordered_json TLThread::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (threadId_) dictionary[kId] = *threadId_;
  if (name_) dictionary[kName] = *name_;
  if (frames_) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& frame : *frames_) {
      if (frame) array.push_back(frame->serializeToOrderedJson());
    }
    dictionary[kFrames] = std::move(array);
  }
  if (exception_) dictionary[kException] = exception_->serializeToOrderedJson();
  return dictionary;
}

bool TLThread::isValid() const { return threadId_ && frames_ && !frames_->empty(); }

bool TLThread::isEqual(const TLThread& other) const {
  return threadId_ == other.threadId_ && name_ == other.name_ &&
         TLRecordArraysEqual(frames_, other.frames_) && TLRecordsEqual(exception_, other.exception_);
}

void TLThread::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(threadId_, kId);
  coder.encodeObject(name_, kName);
  coder.encodeObject(frames_, kFrames);
  coder.encodeObject(exception_, kException);
}
