#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Cuts the output of a child process into lines, whatever the sizes of the reads it arrives in: the
// unfinished end of one read is carried over to the next, so a line (or a UTF-8 character) split
// between two reads comes out whole. Lines end at every character of the newline set (LF, VT, FF,
// CR, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR); a CR LF pair gives an empty line between, which
// readers skip like any empty line.
//
// A line longer than kMaximumLineLength bytes is dropped: the overlong handler is called once for
// it, the bytes up to its end are skipped without being kept, and reading goes on with the next
// line. Memory stays bounded by the limit plus one read.
//
// Not thread-safe: one reader feeds it (the pipe's reads arrive in order on one thread).
class QVOutputLineBuffer {
 public:
  static constexpr std::size_t kMaximumLineLength = std::size_t{1} << 20;

  using LineHandler = std::function<void(std::string_view line)>;
  using OverlongHandler = std::function<void()>;

  // Takes one read; calls `line` for each line completed by it, in order (without the terminator).
  void append(std::string_view bytes, const LineHandler& line, const OverlongHandler& overlong);
  // End of output: the last line, when the output did not end with a newline. The buffer is empty
  // afterwards.
  void finish(const LineHandler& line, const OverlongHandler& overlong);

  // Bytes held for the unfinished line.
  std::size_t pendingSize() const { return tail_.size(); }

 private:
  std::string tail_;
  // Bytes at the start of tail_ already searched without finding a whole newline.
  std::size_t searched_ = 0;
  // Inside an overlong line: bytes are skipped up to its newline.
  bool skipping_ = false;
};

// How many bytes at the end of the text begin a UTF-8 character that the text does not finish (0 to
// 3). Those bytes are held back until the next read completes the character.
std::size_t QVUnfinishedUTF8Length(std::string_view text);
