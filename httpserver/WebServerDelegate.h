#pragma once

class WebServer;

// Told about a server's life. Every call comes on the main thread; all are optional.
class WebServerDelegate {
 public:
  virtual ~WebServerDelegate() = default;
  virtual void webServerDidStart(WebServer&) {}
  virtual void webServerDidCompleteBonjourRegistration(WebServer&) {}
  virtual void webServerDidUpdateNATPortMapping(WebServer&) {}
  // The first connection of a burst started.
  virtual void webServerDidConnect(WebServer&) {}
  // The last connection ended and no other came within the coalescing interval.
  virtual void webServerDidDisconnect(WebServer&) {}
  virtual void webServerDidStop(WebServer&) {}
};
