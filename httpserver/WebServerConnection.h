#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "httpserver/WebServerConfiguration.h"
#include "httpserver/WebServerHandler.h"
#include "httpserver/WebServerRequest.h"
#include "httpserver/WebServerResponse.h"
#include "platform/Data.h"

class WebServer;
class WebServerSocket;
class WebServerChunkedDecoder;

// Owns an accepted socket; its type stays private to the server.
struct WebServerSocketDeleter {
  void operator()(WebServerSocket* socket) const;
};
using WebServerSocketHandle = std::unique_ptr<WebServerSocket, WebServerSocketDeleter>;

// Carries one accepted socket through exactly one HTTP/1.1 exchange: read the head, find the
// handler, read the body into the request, check authentication, let the handler answer, replace
// the answer by 304 or 412 when the client's copy is current, write the response and close. Every
// response says "Connection: Close". The head is capped at 64 KiB and must arrive within the
// server's head timeout; body and response stall no longer than the idle timeout.
//
// Subclasses replace the hooks below; the server makes them through its connection class.
class WebServerConnection : public std::enable_shared_from_this<WebServerConnection> {
 public:
  static constexpr std::size_t kMaximumHeadSize = 64 * 1024;
  // After an early answer the unread rest of a request is drained for at most this long and this
  // many bytes, so that closing does not reset the connection before the client read the answer.
  static constexpr double kLingerTimeout = 2.0;
  static constexpr std::size_t kMaximumLingerBytes = 1024 * 1024;

  WebServerConnection(std::shared_ptr<WebServer> server, platform::Data localAddress,
                      platform::Data remoteAddress, WebServerSocketHandle socket);
  virtual ~WebServerConnection();
  WebServerConnection(const WebServerConnection&) = delete;
  WebServerConnection& operator=(const WebServerConnection&) = delete;

  // Begins the exchange; the server calls it once, right after making the connection.
  void start();

  const std::shared_ptr<WebServer>& server() const { return server_; }
  // The socket's descriptor (for log lines); -1 once closed.
  int socket() const;
  bool isUsingIPv6() const;
  const platform::Data& localAddressData() const { return localAddressData_; }
  const platform::Data& remoteAddressData() const { return remoteAddressData_; }
  std::string localAddressString() const;
  std::string remoteAddressString() const;
  std::uint64_t totalBytesRead() const { return totalBytesRead_; }
  std::uint64_t totalBytesWritten() const { return totalBytesWritten_; }

  // Whether the connection waits on its client (for the request, or for the end of the exchange
  // after the answer): such a connection is the one closed when the server runs out of room. Any
  // thread.
  bool isWaitingForClient() const;
  // Closes the connection, on its own strand, when it still waits on its client by then.
  void closeIfWaitingForClient();

 protected:
  // ---- Hooks ----
  // False ends the connection at once, without a response.
  virtual bool open();
  virtual void didReadBytes(const std::uint8_t* bytes, std::size_t length);
  virtual void didWriteBytes(const std::uint8_t* bytes, std::size_t length);
  virtual std::string rewriteRequestURL(const std::string& url, const std::string& method,
                                        const WebServerHeaders& headers);
  // A response here is sent without asking the handler: the default checks authentication.
  virtual std::shared_ptr<WebServerResponse> preflightRequest(
      const std::shared_ptr<WebServerRequest>& request);
  // The default calls the matched handler's process block.
  virtual void processRequest(const std::shared_ptr<WebServerRequest>& request,
                              WebServerCompletionBlock completion);
  // The default answers 304 (GET, HEAD) or 412 (other methods) when the client's copy is current.
  virtual std::shared_ptr<WebServerResponse> overrideResponse(
      std::shared_ptr<WebServerResponse> response, const std::shared_ptr<WebServerRequest>& request);
  // The default writes a bare head with the status ("Connection", "Server", "Date" only).
  virtual void abortRequest(const std::shared_ptr<WebServerRequest>& request, int statusCode);
  // The default writes the access log line (log level 1 and lower).
  virtual void close();

  // ---- I/O for subclasses ----
  // Usable from the hooks that run while the connection waits on them (processRequest until its
  // completion is called, abortRequest); each runs on the connection's strand and calls its
  // completion once.
  //
  // One read of at most `length` bytes, appended to `buffer` and told to didReadBytes: true when
  // bytes came, false at the end of the stream or on an error (both logged).
  void readData(std::shared_ptr<platform::Data> buffer, std::size_t length,
                std::function<void(bool success)> completion);
  // Reads into `buffer` until it holds a whole head, ended by an empty line (at most
  // kMaximumHeadSize bytes), and leaves the head there; the completion gets the bytes read after
  // the head (possibly none), or nullopt when reading failed or the head grew too large.
  void readHeaders(std::shared_ptr<platform::Data> buffer,
                   std::function<void(std::optional<platform::Data> extra)> completion);
  // Reads `remaining` more body bytes into the request (its body open for writing), piece by piece.
  void readBodyWithRemainingLength(std::uint64_t remaining, std::function<void(bool success)> completion);
  // Decodes a chunked body into the request: first what `buffer` holds, then what arrives, until
  // the last chunk; false on invalid chunk framing or a failed read or write.
  void readNextBodyChunk(std::shared_ptr<platform::Data> buffer,
                         std::function<void(bool success)> completion);
  // Writes all the bytes; the completion tells whether that worked.
  void writeData(platform::Data data, std::function<void(bool success)> completion);
  // Writes the head of response() as the connection would ("Connection", "Server", "Date", caching,
  // length and additional headers). Once a subclass wrote a head itself, the response that the
  // processing completion later carries is not sent: the exchange ends with what was written.
  void writeHeadersWithCompletionBlock(std::function<void(bool success)> completion);
  // Sends the body of response() piece by piece (chunked when the response says so, nothing for a
  // HEAD), opening and closing the response's body around it.
  void writeBodyWithCompletionBlock(std::function<void(bool success)> completion);

  // The status of the head that was written; 0 until then.
  int statusCode() const { return statusCode_; }
  const std::shared_ptr<WebServerRequest>& request() const { return request_; }
  const std::shared_ptr<WebServerHandler>& handler() const { return handler_; }
  // The response being sent (set by the connection when the handler answers, or by a subclass
  // before writeHeadersWithCompletionBlock).
  const std::shared_ptr<WebServerResponse>& response() const { return response_; }
  void setResponse(std::shared_ptr<WebServerResponse> response) { response_ = std::move(response); }

 private:
  enum class Phase { Head, Body, Processing, Response, Aborting, Lingering, Closed };
  struct Outgoing;
  struct CompletionState;
  enum class SendResult { Done, Pending, Failed };

  void setPhase(Phase phase);
  void begin();
  void readHead();
  void headComplete(std::size_t headEnd);
  void abort(const std::shared_ptr<WebServerRequest>& request, int statusCode);
  void startBody();
  // Reads up to `want` body bytes into the body buffer: true with the count, or false when it
  // has failed the request or will call `resume` once the socket is readable.
  bool readBodyPiece(std::size_t want, void (WebServerConnection::*resume)(), std::size_t* count);
  void readFixedBody();
  void readChunkedBody();
  bool feedChunkedBody(const std::uint8_t* bytes, std::size_t length);
  void closeRequestBody();
  void failRequestBody(int statusCode);
  void processRequestNow();
  void watchForPeerClose();
  void finishWithResponse(std::shared_ptr<WebServerResponse> response);
  std::string responseHead(const WebServerResponse& response);
  void pumpResponseBody();
  bool takeResponsePiece(std::optional<platform::Data> data, const platform::Error& error, Outgoing* outgoing,
                         bool* finished);
  // Sends one piece of the response body; true when the caller should read the next one now.
  bool sendResponsePiece(std::optional<platform::Data> data, const platform::Error& error);
  void responseBodyPiece(std::optional<platform::Data> data, const platform::Error& error);
  void endResponse(bool success);
  void finishGracefully();
  void linger();
  void drainLinger();
  void closeNow();
  int statusForBodyError(const platform::Error& error) const;
  void readDataNow(std::shared_ptr<platform::Data> buffer, std::size_t length,
                   std::function<void(bool)> completion);
  void readHeadersStep(std::shared_ptr<platform::Data> buffer, std::size_t searchFrom,
                       std::function<void(std::optional<platform::Data>)> completion);
  void readBodyStep(std::uint64_t remaining, std::function<void(bool)> completion);
  void feedBodyChunks(std::shared_ptr<WebServerChunkedDecoder> decoder,
                      std::shared_ptr<platform::Data> buffer, std::function<void(bool)> completion);
  void writeBodyStep(std::function<void(bool)> completion);

  SendResult send(std::shared_ptr<Outgoing> outgoing, std::function<void(bool)> whenPending);
  void continueSend(std::shared_ptr<Outgoing> outgoing, std::function<void(bool)> completion);
  void setDeadline(double seconds);
  void setDeadlineAt(std::chrono::steady_clock::time_point deadline);
  void clearDeadline();
  void armTimer();
  void deadlinePassed();
  template <typename Fn>
  void runHook(Fn&& fn);

  std::shared_ptr<WebServer> server_;
  std::shared_ptr<const WebServerConfiguration> configuration_;
  platform::Data localAddressData_;
  platform::Data remoteAddressData_;
  WebServerSocketHandle socket_;
  int descriptor_ = -1;

  Phase phase_ = Phase::Head;
  std::atomic<bool> waitingForClient_{true};
  bool counted_ = false;
  bool opened_ = false;
  bool virtualHEAD_ = false;
  bool responded_ = false;
  bool watching_ = false;
  bool bodyOpened_ = false;
  bool responseBodyOpened_ = false;
  bool chunkedResponse_ = false;
  bool truncatedResponse_ = false;
  bool requestConsumed_ = false;
  bool bodyClosed_ = false;
  bool abortHookRunning_ = false;
  bool hookWriteFailed_ = false;
  bool writesStarted_ = false;
  bool headWrittenByHook_ = false;
  bool noDelay_ = false;
  int httpMinorVersion_ = 1;
  int statusCode_ = 0;
  std::uint64_t totalBytesRead_ = 0;
  std::uint64_t totalBytesWritten_ = 0;

  platform::Data head_;
  std::size_t headLength_ = 0;
  std::size_t headEnd_ = 0;
  platform::Data bodyBuffer_;
  std::uint64_t bodyRemaining_ = 0;
  std::uint64_t bodyReceived_ = 0;
  std::unique_ptr<WebServerChunkedDecoder> chunkedDecoder_;
  std::uint64_t responseRemaining_ = kWebServerNotFound;
  std::size_t lingerBytes_ = 0;
  int pendingHookWrites_ = 0;

  std::shared_ptr<WebServerRequest> request_;
  std::shared_ptr<WebServerHandler> handler_;
  std::shared_ptr<WebServerResponse> response_;

  std::chrono::steady_clock::time_point startTime_;
  std::chrono::steady_clock::time_point bodyStartTime_;
  std::uint64_t bodyBytesRead_ = 0;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point armedAt_;
  bool timerArmed_ = false;
};

// Makes the connection of each accepted socket: WebServerConnectionClassOf<Kind>() for a subclass.
using WebServerConnectionClass = std::function<std::shared_ptr<WebServerConnection>(
    std::shared_ptr<WebServer> server, platform::Data localAddress, platform::Data remoteAddress,
    WebServerSocketHandle socket)>;

template <class Kind>
WebServerConnectionClass WebServerConnectionClassOf() {
  static_assert(std::is_base_of_v<WebServerConnection, Kind>,
                "connection classes derive from WebServerConnection");
  return [](std::shared_ptr<WebServer> server, platform::Data localAddress, platform::Data remoteAddress,
            WebServerSocketHandle socket) -> std::shared_ptr<WebServerConnection> {
    return std::make_shared<Kind>(std::move(server), std::move(localAddress), std::move(remoteAddress),
                                  std::move(socket));
  };
}
