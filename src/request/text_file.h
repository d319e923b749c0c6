// Text-mode files, the same bytes on every platform: a written "\n" is CR LF
// on disk; on reading, CR bytes are dropped and a byte 0x1A ends the file.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "request/request.h"

// Reads a text file line by line; in place where the lines go into area.
class TextReader {
 public:
  explicit TextReader(platform::LockedFile& file, FileBytes* area = nullptr) : file_(file), area_(area) {}
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // Takes at most max_chars characters, stopping after a line end, and
  // zero-terminates out (which holds max_chars + 1; what follows the zero may
  // change). 0 at the end of the file.
  std::size_t read_line(char* out, std::size_t max_chars);
  // A read failed: what was read must not stand for the whole file.
  bool failed() const { return failed_; }

 private:
  // next_out: where the next character goes. False at the end of the file.
  bool refill(char* next_out);

  platform::LockedFile& file_;
  FileBytes* area_;
  // Enough for a counter's line at once; other text is read in place.
  char bytes_[512];
  const char* in_ = bytes_;  // the bytes read, pos_ and len_ into them
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// Replaces the file's content with the text of len characters at the start of
// bytes, each "\n" stored there as CR LF; false where it could not be written
// in full.
bool write_text_file(platform::LockedFile& file, FileBytes& bytes, std::size_t len);
