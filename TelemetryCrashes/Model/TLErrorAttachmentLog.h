#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Telemetry/Internals/Model/TLAbstractLog.h"
#include "platform/Data.h"

// A file attached to a crash: its bytes (Base64 in JSON), media type and name, tied to the crash by
// its incident id.
class TLErrorAttachmentLog : public TLAbstractLog {
 public:
  static constexpr const char* kClassName = "TLErrorAttachmentLog";
  static constexpr const char* kType = "errorAttachment";

  // Type "errorAttachment" and a fresh random attachment id.
  TLErrorAttachmentLog();
  static std::shared_ptr<TLErrorAttachmentLog> init() { return std::make_shared<TLErrorAttachmentLog>(); }
  static std::shared_ptr<TLErrorAttachmentLog> initWithFilename(std::optional<std::string> filename,
                                                                platform::Data attachmentBinary,
                                                                std::optional<std::string> contentType);
  // The text's UTF-8 bytes as "text/plain".
  static std::shared_ptr<TLErrorAttachmentLog> initWithFilename(std::optional<std::string> filename,
                                                                const std::string& attachmentText);
  static std::shared_ptr<TLErrorAttachmentLog> attachmentWithText(const std::string& text,
                                                                  std::optional<std::string> filename) {
    return initWithFilename(std::move(filename), text);
  }
  static std::shared_ptr<TLErrorAttachmentLog> attachmentWithBinary(platform::Data data,
                                                                    std::optional<std::string> filename,
                                                                    std::optional<std::string> contentType) {
    return initWithFilename(std::move(filename), std::move(data), std::move(contentType));
  }
  static std::shared_ptr<TLErrorAttachmentLog> initWithCoder(platform::KeyedUnarchiver& coder);

  nlohmann::json serializeToDictionary() const override { return serializeToOrderedJson(); }
  nlohmann::ordered_json serializeToOrderedJson() const override;
  bool isValid() const override;
  bool isEqual(const TLAbstractLog& other) const override;
  std::vector<std::string> classesForCoder() const override {
    return {kClassName, TLAbstractLog::kClassName};
  }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;

  TL_PROPERTY(String, attachmentId, setAttachmentId)
  TL_PROPERTY(String, errorId, setErrorId)
  TL_PROPERTY(String, contentType, setContentType)
  TL_PROPERTY(String, filename, setFilename)
  TL_PROPERTY(std::optional<platform::Data>, data, setData)
};
