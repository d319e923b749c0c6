#include "request/text_file.h"

#include <algorithm>
#include <cstring>

#include "request/request.h"

namespace {

constexpr char kEndOfFile = 0x1A;

// Every character of the log text may be a line end that grows to two bytes.
char encoded[2 * kLogTextSize];

}  // namespace

bool TextReader::refill() {
  if (pos_ < len_) return true;
  if (ended_) return false;
  len_ = file_.read(chunk_, sizeof chunk_);
  pos_ = 0;
  // A regular file reads short only at its end: no second call to learn that.
  ended_ = len_ < sizeof chunk_;
  // 0x1A ends the file: what follows it is never read.
  if (const void* end = std::memchr(chunk_, kEndOfFile, len_)) {
    len_ = static_cast<std::size_t>(static_cast<const char*>(end) - chunk_);
    ended_ = true;
  }
  return len_ > 0;
}

// Whole runs of plain bytes are copied at once: the log is read on every hit.
std::size_t TextReader::read_line(char* out, std::size_t max_chars) {
  std::size_t n = 0;
  while (n < max_chars && refill()) {
    const char* start = chunk_ + pos_;
    std::size_t span = std::min(len_ - pos_, max_chars - n);
    if (const void* lf = std::memchr(start, '\n', span)) span = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
    const void* cr = std::memchr(start, '\r', span);
    const std::size_t plain = cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - start) : span;
    std::memcpy(out + n, start, plain);
    n += plain;
    pos_ += plain;
    if (plain == span) {
      if (out[n - 1] == '\n') break;
      continue;
    }
    // A CR is dropped; the usual CR LF ends the line at once.
    if (++pos_ < len_ && chunk_[pos_] == '\n') {
      out[n++] = '\n';
      ++pos_;
      break;
    }
  }
  out[n] = '\0';
  return n;
}

bool write_text_file(platform::LockedFile& file, const char* text, std::size_t len) {
  if (len > kLogTextSize) return false;
  std::size_t n = 0;
  const char* end = text + len;
  while (text < end) {
    const void* lf = std::memchr(text, '\n', static_cast<std::size_t>(end - text));
    const char* stop = lf != nullptr ? static_cast<const char*>(lf) : end;
    std::memcpy(encoded + n, text, static_cast<std::size_t>(stop - text));
    n += static_cast<std::size_t>(stop - text);
    text = stop;
    if (lf != nullptr) {
      encoded[n++] = '\r';
      encoded[n++] = '\n';
      ++text;
    }
  }
  return file.replace(encoded, n, 0);
}
