#include "httpserver/WebServerMultiPart.h"

#include <unistd.h>

#include "httpserver/WebServerFunctions.h"

namespace {
std::string withoutParameters(const std::string& contentType) {
  std::string base = WebServerHeaderValueBase(contentType).value_or(std::string());
  auto first = base.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  auto last = base.find_last_not_of(" \t");
  return base.substr(first, last - first + 1);
}
}  // namespace

WebServerMultiPart::WebServerMultiPart(std::string controlName, std::string contentType)
    : controlName_(std::move(controlName)), contentType_(std::move(contentType)) {
  mimeType_ = withoutParameters(contentType_);
}

WebServerMultiPartArgument::WebServerMultiPartArgument(std::string controlName, std::string contentType,
                                                       platform::Data data)
    : WebServerMultiPart(std::move(controlName), std::move(contentType)), data_(std::move(data)) {
  if (this->contentType().starts_with("text/")) {
    auto charset = WebServerHeaderParameterValue(this->contentType(), "charset");
    string_ = WebServerStringFromData(data_, WebServerEncodingFromCharsetName(charset));
  }
}

std::string WebServerMultiPartArgument::description() const {
  return fmt::format("<WebServerMultiPartArgument | '{}' | {} bytes>", mimeType(), data_.size());
}

WebServerMultiPartFile::WebServerMultiPartFile(std::string controlName, std::string contentType,
                                               std::string fileName, std::filesystem::path temporaryPath)
    : WebServerMultiPart(std::move(controlName), std::move(contentType)),
      fileName_(std::move(fileName)),
      temporaryPath_(std::move(temporaryPath)) {}

WebServerMultiPartFile::~WebServerMultiPartFile() {
  if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
}

std::string WebServerMultiPartFile::description() const {
  return fmt::format("<WebServerMultiPartFile | '{}' | '{}>'", mimeType(), fileName_);
}
