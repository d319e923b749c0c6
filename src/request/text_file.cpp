#include "request/text_file.h"

#include <algorithm>
#include <cstring>

#include "request/request.h"

namespace {

constexpr char kEndOfFile = 0x1A;

// File bytes on their way in or out, one buffer for both: fewer pages to
// fault in on every hit. Every character of the log text may be a line end
// that grows to two bytes, and a whole log is read in one call.
char file_bytes[2 * kLogTextSize];

}  // namespace

bool TextReader::refill() {
  if (pos_ < len_) return true;
  if (ended_) return false;
  const long got = file_.read(file_bytes, sizeof file_bytes);
  pos_ = 0;
  len_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  failed_ = got < 0;
  // The size the file had when opened marks its end: no second call to learn that.
  ended_ = got <= 0 || file_.at_end();
  // 0x1A ends the file: what follows it is never read.
  if (const void* end = std::memchr(file_bytes, kEndOfFile, len_)) {
    len_ = static_cast<std::size_t>(static_cast<const char*>(end) - file_bytes);
    ended_ = true;
  }
  return len_ > 0;
}

// Whole runs of plain bytes are copied at once: the log is read on every hit.
std::size_t TextReader::read_line(char* out, std::size_t max_chars) {
  std::size_t n = 0;
  while (n < max_chars && refill()) {
    const char* start = file_bytes + pos_;
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
    if (++pos_ < len_ && file_bytes[pos_] == '\n') {
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
    std::memcpy(file_bytes + n, text, static_cast<std::size_t>(stop - text));
    n += static_cast<std::size_t>(stop - text);
    text = stop;
    if (lf != nullptr) {
      file_bytes[n++] = '\r';
      file_bytes[n++] = '\n';
      ++text;
    }
  }
  return file.replace(file_bytes, n, 0);
}
