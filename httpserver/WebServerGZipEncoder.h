#pragma once

#include <memory>

#include "httpserver/WebServerResponse.h"

// A link of a response's reader chain: reads from the reader beneath and changes the bytes.
class WebServerBodyEncoder : public WebServerBodyReader {
 public:
  WebServerBodyEncoder(WebServerResponse* response, WebServerBodyReader* reader)
      : response_(response), reader_(reader) {}

  bool open(platform::Error* error) override { return reader_->open(error); }
  std::optional<platform::Data> readData(platform::Error* error) override { return reader_->readData(error); }
  void close() override { reader_->close(); }
  bool implementsAsyncReadData() const override { return reader_->implementsAsyncReadData(); }
  void asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) override {
    reader_->asyncReadDataWithCompletion(std::move(completion));
  }

 protected:
  WebServerResponse* response() const { return response_; }
  WebServerBodyReader* reader() const { return reader_; }

 private:
  WebServerResponse* response_;  // not owned: the response owns its encoders
  WebServerBodyReader* reader_;  // not owned
};

// Compresses a response body with gzip. The body then goes out chunked with
// "Content-Encoding: gzip". Over a reader that answers later (a streamed body) each piece is
// flushed as it comes, so the client sees it without waiting for more.
class WebServerGZipEncoder : public WebServerBodyEncoder {
 public:
  WebServerGZipEncoder(WebServerResponse* response, WebServerBodyReader* reader);
  ~WebServerGZipEncoder() override;

  bool open(platform::Error* error) override;
  std::optional<platform::Data> readData(platform::Error* error) override;
  void close() override;
  void asyncReadDataWithCompletion(WebServerBodyReaderCompletionBlock completion) override;

 private:
  struct Stream;
  // Deflates one piece (empty input finishes the stream) and appends the output.
  bool deflatePiece(const platform::Data& input, bool flush, platform::Data* output, platform::Error* error);

  std::shared_ptr<Stream> stream_;
};
