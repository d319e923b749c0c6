// Text-mode files, the same bytes on every platform: a written "\n" is CR LF
// on disk; on reading, CR bytes are dropped and a byte 0x1A ends the file.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Reads through the one buffer of file bytes that write_text_file also uses:
// at most one reader at a time, done before any text file is written.
class TextReader {
 public:
  explicit TextReader(platform::LockedFile& file) : file_(file) {}
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // Takes at most max_chars characters, stopping after a line end, and
  // zero-terminates out (which holds max_chars + 1; what follows the zero may
  // change). 0 at the end of the file.
  std::size_t read_line(char* out, std::size_t max_chars);
  // A read failed: what was read must not stand for the whole file.
  bool failed() const { return failed_; }

 private:
  bool refill();  // false at the end of the file

  platform::LockedFile& file_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Replaces the file's content with text, each "\n" stored as CR LF; false
// where it could not be written in full.
bool write_text_file(platform::LockedFile& file, const char* text, std::size_t len);
