#include "TelemetryCrashes/Model/TLThread.h"

#include "TelemetryCrashes/Model/TLCrashesModelSupport.h"
#include "platform/KeyedArchiver.h"

namespace {
constexpr const char* kThreadId = "id";
constexpr const char* kThreadName = "name";
constexpr const char* kThreadFrames = "frames";
constexpr const char* kThreadException = "exception";
}  // namespace

std::shared_ptr<TLThread> TLThread::initWithCoder(platform::KeyedUnarchiver& coder) {
  // Starts from a plain object, so the thread holds exactly the archived frames (or none).
  auto thread = std::make_shared<TLThread>();
  thread->threadId_ = TLDecodeInteger(coder, kThreadId);
  thread->name_ = coder.decodeStringForKey(kThreadName);
  thread->frames_ = coder.decodeArrayOfObjectsOfClass<TLStackFrame>(kThreadFrames);
  thread->exception_ = coder.decodeObjectOfClass<TLException>(kThreadException);
  return thread;
}

nlohmann::ordered_json TLThread::serializeToOrderedJson() const {
  auto dictionary = nlohmann::ordered_json::object();
  if (threadId_) dictionary[kThreadId] = *threadId_;
  if (name_) dictionary[kThreadName] = *name_;
  if (frames_) {
    auto array = nlohmann::ordered_json::array();
    for (const auto& frame : *frames_) {
      if (frame) array.push_back(frame->serializeToOrderedJson());
    }
    dictionary[kThreadFrames] = std::move(array);
  }
  if (exception_) dictionary[kThreadException] = exception_->serializeToOrderedJson();
  return dictionary;
}

bool TLThread::isValid() const { return threadId_ && frames_ && !frames_->empty(); }

bool TLThread::isEqual(const TLThread& other) const {
  return threadId_ == other.threadId_ && name_ == other.name_ &&
         TLRecordArraysEqual(frames_, other.frames_) && TLRecordsEqual(exception_, other.exception_);
}

void TLThread::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeObject(threadId_, kThreadId);
  coder.encodeObject(name_, kThreadName);
  coder.encodeObject(frames_, kThreadFrames);
  coder.encodeObject(exception_, kThreadException);
}
