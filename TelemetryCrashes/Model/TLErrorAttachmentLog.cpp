#include "TelemetryCrashes/Model/TLErrorAttachmentLog.h"

#include "platform/Base64.h"
#include "platform/KeyedArchiver.h"
#include "platform/UUID.h"

namespace {
constexpr const char* kAttachmentId = "id";
constexpr const char* kErrorId = "errorId";
constexpr const char* kContentType = "contentType";
constexpr const char* kAttachmentFileName = "fileName";
constexpr const char* kData = "data";
}  // namespace

TLErrorAttachmentLog::TLErrorAttachmentLog() {
  setType(kType);
  attachmentId_ = platform::makeUUIDString();
}

std::shared_ptr<TLErrorAttachmentLog> TLErrorAttachmentLog::initWithFilename(
    std::optional<std::string> filename, platform::Data attachmentBinary,
    std::optional<std::string> contentType) {
  auto log = init();
  log->data_ = std::move(attachmentBinary);
  log->contentType_ = std::move(contentType);
  log->filename_ = std::move(filename);
  return log;
}

std::shared_ptr<TLErrorAttachmentLog> TLErrorAttachmentLog::initWithFilename(
    std::optional<std::string> filename, const std::string& attachmentText) {
  return initWithFilename(std::move(filename), platform::Data(attachmentText.begin(), attachmentText.end()),
                          std::string("text/plain"));
}

std::shared_ptr<TLErrorAttachmentLog> TLErrorAttachmentLog::initWithCoder(platform::KeyedUnarchiver& coder) {
  auto log = init();
  log->decodeFields(coder);
  log->attachmentId_ = coder.decodeStringForKey(kAttachmentId);
  log->errorId_ = coder.decodeStringForKey(kErrorId);
  log->contentType_ = coder.decodeStringForKey(kContentType);
  log->filename_ = coder.decodeStringForKey(kAttachmentFileName);
  log->data_ = coder.decodeDataForKey(kData);
  return log;
}

nlohmann::ordered_json TLErrorAttachmentLog::serializeToOrderedJson() const {
  nlohmann::ordered_json dictionary = TLAbstractLog::serializeToDictionary();
  if (attachmentId_) dictionary[kAttachmentId] = *attachmentId_;
  if (errorId_) dictionary[kErrorId] = *errorId_;
  if (contentType_) dictionary[kContentType] = *contentType_;
  if (filename_) dictionary[kAttachmentFileName] = *filename_;
  if (data_) dictionary[kData] = platform::base64Encode(*data_);
  return dictionary;
}

bool TLErrorAttachmentLog::isValid() const {
  return TLAbstractLog::isValid() && attachmentId_ && errorId_ && contentType_ && data_;
}

bool TLErrorAttachmentLog::isEqual(const TLAbstractLog& other) const {
  auto log = dynamic_cast<const TLErrorAttachmentLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && attachmentId_ == log->attachmentId_ &&
         errorId_ == log->errorId_ && contentType_ == log->contentType_ && filename_ == log->filename_ &&
         data_ == log->data_;
}

void TLErrorAttachmentLog::encodeWithCoder(platform::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(attachmentId_, kAttachmentId);
  coder.encodeObject(errorId_, kErrorId);
  coder.encodeObject(contentType_, kContentType);
  coder.encodeObject(filename_, kAttachmentFileName);
  coder.encodeObject(data_, kData);
}
