#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/WebServerMultiPart.h"
#include "platform/Data.h"

// The caps of a multipart parse.
struct WebServerMultiPartLimits {
  // Bytes of one field kept in memory (and of the preamble).
  std::size_t maximumInMemoryPartSize = 4 * 1024 * 1024;
  // Bytes of one part's header block.
  std::size_t maximumHeaderSize = 16 * 1024;
  // Parts of the whole body, nested ones included.
  std::size_t maximumPartCount = 1000;
  // "multipart/mixed" levels below the form itself.
  int maximumNestingDepth = 4;
};

// Parses a MIME multipart body while it arrives, piece by piece: fields without a file name are kept
// in memory, file fields are streamed into temporary files, and a "multipart/mixed" field is handed to
// a nested parser whose parts carry the field's name. Completed parts are appended to the two lists in
// body order, nested parts included.
//
// What a client can make it hold is bounded: a field kept in memory (and the preamble before the
// first boundary), a part's header block, the number of parts and the depth of nesting all have caps
// (Limits); going over one fails the parse. Temporary files are created new (never an existing file)
// and readable by the owner only; the file of a part that fails is removed at once.
class WebServerMIMEStreamParser {
 public:
  using Arguments = std::vector<std::shared_ptr<WebServerMultiPartArgument>>;
  using Files = std::vector<std::shared_ptr<WebServerMultiPartFile>>;

  using Limits = WebServerMultiPartLimits;

  // The parser of a body with the given boundary text; nullptr when it is missing, empty, longer than
  // 70 characters (the MIME maximum) or not ASCII. The lists must outlive the parser.
  static std::unique_ptr<WebServerMIMEStreamParser> make(const std::optional<std::string>& boundary,
                                                         std::optional<std::string> defaultControlName,
                                                         Arguments* arguments, Files* files,
                                                         const Limits& limits = Limits(), int depth = 0);
  ~WebServerMIMEStreamParser();
  WebServerMIMEStreamParser(const WebServerMIMEStreamParser&) = delete;
  WebServerMIMEStreamParser& operator=(const WebServerMIMEStreamParser&) = delete;

  // Takes the next piece of the body and parses what it can; false when the body is not a valid
  // multipart body or a part could not be kept. Nothing more should be given after false.
  bool appendBytes(const std::uint8_t* bytes, std::size_t length);
  // True once the closing boundary was read; bytes after it are ignored.
  bool isAtEnd() const { return state_ == State::End; }

 private:
  enum class State { Start = 1, Headers = 2, Content = 3, End = 4 };

  WebServerMIMEStreamParser(platform::Data boundary, std::optional<std::string> defaultControlName,
                            Arguments* arguments, Files* files, const Limits& limits, int depth);

  bool parse();
  bool readHeaders(std::size_t headerEnd);
  bool startPart();
  bool finishPart(std::size_t contentLength, std::size_t boundaryPosition);
  bool writeToFile(const std::uint8_t* bytes, std::size_t length);
  void consume(std::size_t length);
  // Closes and removes the current part's temporary file and drops its nested parser.
  void abandonPart();
  void clearPart();

  const platform::Data boundary_;
  const std::optional<std::string> defaultControlName_;
  Arguments* const arguments_;
  Files* const files_;
  const Limits limits_;
  const int depth_;

  State state_ = State::Start;
  platform::Data buffer_;
  // Leading bytes of the buffer already known not to start a boundary.
  std::size_t scanned_ = 0;
  bool failed_ = false;

  std::optional<std::string> controlName_;
  std::optional<std::string> fileName_;
  std::optional<std::string> contentType_;
  std::filesystem::path temporaryPath_;
  int temporaryFile_ = -1;
  std::unique_ptr<WebServerMIMEStreamParser> subParser_;
};
