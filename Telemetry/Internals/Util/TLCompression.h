#pragma once

#include <optional>

#include "platform/Data.h"

// gzip compression of request bodies.
class TLCompression {
 public:
  // One complete gzip member of the data (zlib's default level); nullopt for empty data or when
  // zlib fails (logged). Any thread; the deflate state and its buffer are kept for the next call.
  static std::optional<platform::Data> compressData(const platform::Data& data);
};
