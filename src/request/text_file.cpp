#include "request/text_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

#include "request/request.h"

namespace {

constexpr char kEndOfFile = 0x1A;

// Where a line ends in its span: the end of the line, or of the span, found
// first, so that a line moved down over its own bytes writes none ahead of it.
std::size_t find_stop(const char* in, std::size_t span, char stop, char also_stop) {
  const char* end = in + span;
  if (const void* hit = std::memchr(in, stop, span)) end = static_cast<const char*>(hit);
  const void* hit = also_stop != stop ? std::memchr(in, also_stop, static_cast<std::size_t>(end - in)) : nullptr;
  return static_cast<std::size_t>((hit != nullptr ? static_cast<const char*>(hit) : end) - in);
}

}  // namespace

// Text read into the area is read in place: the bytes go one past where the
// next character goes, and each line moves down over them, never ahead of
// them, as a character never takes more than its bytes. Other text is read
// through the reader's own small buffer.
bool TextReader::refill(char* next_out) {
  if (pos_ < len_) return true;
  if (ended_) return false;
  char* to = bytes_;
  std::size_t cap = sizeof bytes_;
  if (area_ != nullptr) {
    const char* end = std::end(area_->bytes);
    // Pointers into one array compare safely; next_out may lie outside it.
    if (!std::less<const char*>()(next_out, area_->bytes) && std::less<const char*>()(next_out, end) &&
        end - next_out > 1) {
      to = next_out + 1;
      cap = static_cast<std::size_t>(end - to);
    }
  }
  const long got = file_.read(to, cap);
  in_ = to;
  pos_ = 0;
  len_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  failed_ = got < 0;
  // The size the file had when opened marks its end: no second call to learn that.
  ended_ = got <= 0 || file_.at_end();
  // 0x1A ends the file: what follows it is never read.
  if (const void* end = std::memchr(in_, kEndOfFile, len_)) {
    len_ = static_cast<std::size_t>(static_cast<const char*>(end) - in_);
    ended_ = true;
  }
  return len_ > 0;
}

// Whole runs of plain bytes are copied at once: the log is read on every hit.
std::size_t TextReader::read_line(char* out, std::size_t max_chars) {
  std::size_t n = 0;
  while (n < max_chars && refill(out + n)) {
    const std::size_t span = std::min(len_ - pos_, max_chars - n);
    // memmove: a line read in place moves down over the bytes it came in.
    const std::size_t plain = find_stop(in_ + pos_, span, '\n', '\r');
    std::memmove(out + n, in_ + pos_, plain);
    n += plain;
    pos_ += plain;
    if (n == max_chars || pos_ == len_) continue;
    // A CR is dropped; an LF, or the usual CR LF, ends the line at once.
    if (in_[pos_++] == '\r') {
      if (pos_ == len_ || in_[pos_] != '\n') continue;
      ++pos_;
    }
    out[n++] = '\n';
    break;
  }
  out[n] = '\0';
  return n;
}

namespace {

// Where the last "\n" before end lies; end itself where there is none. Eight
// bytes are tested at once, as a log's lines are about 160 bytes long.
std::size_t last_line_end(const char* text, std::size_t end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  std::size_t at = end;
  while (at >= sizeof(std::uint64_t)) {
    std::uint64_t word = 0;
    std::memcpy(&word, text + at - sizeof word, sizeof word);
    const std::uint64_t x = word ^ (kOnes * '\n');
    if (((x - kOnes) & ~x & (kOnes << 7)) != 0) break;
    at -= sizeof word;
  }
  while (at > 0) {
    if (text[--at] == '\n') return at;
  }
  return end;
}

std::size_t count_line_ends(const char* text, std::size_t len) {
  std::size_t line_ends = 0;
  for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', len - static_cast<std::size_t>(p - text)))) != nullptr; ++p) {
    ++line_ends;
  }
  return line_ends;
}

// Each "\n" of the text becomes CR LF where it lies, from the end back, so
// that no byte is overwritten before it is moved.
void encode_in_place(char* text, std::size_t len, std::size_t line_ends) {
  std::size_t end = len;
  for (std::size_t shift = line_ends; shift > 0; --shift) {
    const std::size_t at = last_line_end(text, end);
    std::memmove(text + at + 1 + shift, text + at + 1, end - at - 1);
    text[at + shift - 1] = '\r';
    text[at + shift] = '\n';
    end = at;
  }
}

}  // namespace

bool write_text_file(platform::LockedFile& file, FileBytes& bytes, std::size_t len) {
  if (len > sizeof bytes.bytes) return false;
  const std::size_t line_ends = count_line_ends(bytes.bytes, len);
  if (line_ends > sizeof bytes.bytes - len) return false;
  encode_in_place(bytes.bytes, len, line_ends);
  return file.replace(bytes.bytes, len + line_ends, 0);
}
