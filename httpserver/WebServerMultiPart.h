#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Data.h"

// One field of a "multipart/form-data" form: its control name and its content type.
class WebServerMultiPart {
 public:
  virtual ~WebServerMultiPart() = default;
  WebServerMultiPart(const WebServerMultiPart&) = delete;
  WebServerMultiPart& operator=(const WebServerMultiPart&) = delete;

  // The form field's name.
  const std::string& controlName() const { return controlName_; }
  // The part's normalised content type; "text/plain" when the part had none.
  const std::string& contentType() const { return contentType_; }
  // The content type without its parameters.
  const std::string& mimeType() const { return mimeType_; }

  virtual std::string description() const = 0;

 protected:
  WebServerMultiPart(std::string controlName, std::string contentType);

 private:
  std::string controlName_;
  std::string contentType_;
  std::string mimeType_;
};

// A field kept in memory.
class WebServerMultiPartArgument : public WebServerMultiPart {
 public:
  WebServerMultiPartArgument(std::string controlName, std::string contentType, platform::Data data);

  const platform::Data& data() const { return data_; }
  // The bytes as text in the "charset" of the content type (UTF-8 when missing or unknown), only for
  // "text/..." types; nullopt otherwise and when the bytes do not decode.
  const std::optional<std::string>& string() const { return string_; }

  // "<WebServerMultiPartArgument | 'text/plain' | 5 bytes>"
  std::string description() const override;

 private:
  platform::Data data_;
  std::optional<std::string> string_;
};

// An uploaded file, kept in a temporary file of its own that is deleted with this object; a handler
// that keeps the upload moves the file away first.
class WebServerMultiPartFile : public WebServerMultiPart {
 public:
  WebServerMultiPartFile(std::string controlName, std::string contentType, std::string fileName,
                         std::filesystem::path temporaryPath);
  ~WebServerMultiPartFile() override;

  // The name the client sent (only a name to show: never a path to write to).
  const std::string& fileName() const { return fileName_; }
  const std::filesystem::path& temporaryPath() const { return temporaryPath_; }

  // "<WebServerMultiPartFile | 'image/png' | 'photo.png>'"
  std::string description() const override;

 private:
  std::string fileName_;
  std::filesystem::path temporaryPath_;
};
