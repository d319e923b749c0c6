#include "request/text_file.h"

#include "request/request.h"

namespace {

constexpr char kEndOfFile = 0x1A;

// Every character of the log text may be a line end that grows to two bytes.
char encoded[2 * kLogTextSize];

}  // namespace

bool TextReader::next(char& c) {
  while (!ended_) {
    if (pos_ == len_) {
      len_ = file_.read(chunk_, sizeof chunk_);
      pos_ = 0;
      if (len_ == 0) {
        ended_ = true;
        break;
      }
    }
    c = chunk_[pos_++];
    if (c == kEndOfFile) {
      ended_ = true;
    } else if (c != '\r') {
      return true;
    }
  }
  return false;
}

std::size_t TextReader::read_line(char* out, std::size_t max_chars) {
  std::size_t n = 0;
  char c = '\0';
  while (n < max_chars && next(c)) {
    out[n++] = c;
    if (c == '\n') break;
  }
  out[n] = '\0';
  return n;
}

bool write_text_file(platform::LockedFile& file, const char* text, std::size_t len) {
  if (len > kLogTextSize) return false;
  std::size_t n = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] == '\n') encoded[n++] = '\r';
    encoded[n++] = text[i];
  }
  return file.replace(encoded, n);
}
