#pragma once

// Marker of log kinds that keep their own session id: the session tracker never stamps one.
class TLNoAutoAssignSessionIdLog {
 public:
  virtual ~TLNoAutoAssignSessionIdLog() = default;
};
