#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "request/request.h"
#include "request/text_file.h"

namespace {

constexpr std::size_t kLogLimit = kLogTextSize - 1;
constexpr int kMaxCarriedLines = 299;
constexpr int kDroppedLines = 2;
constexpr char kLogHeader[] = "lumicount.exe version 2.1 log file\n\n";

// The new log text: header, the new entry, then the carried-over lines.
struct LogText {
  char text[kLogTextSize];
  std::size_t len;
};
LogText log_text;

void append_char(char c) {
  if (log_text.len < kLogLimit) log_text.text[log_text.len++] = c;
}

void append_plain(const char* s) {
  for (; *s != '\0'; ++s) append_char(*s);
}

// The pieces of an entry that come from outside, each bounded on its own and
// escapes counted, so that one request pushes only a few entries out of a full
// log and every entry keeps its line end.
enum Piece { kArgument, kHost, kAddress, kAgent, kPieceEnd };
constexpr std::size_t kPieceLimit[] = {
    8192,  // argument 1: whole, past any request line a web server accepts (Apache 8,190)
    255,   // a host name: DNS allows 253
    64,    // an address: IPv6 with a zone fits
    1024,  // a user agent: twice what the longest real ones send
};
static_assert(std::size(kPieceLimit) == kPieceEnd, "one bound per piece");
// Header, date, the pieces at their bounds, separators and line end: a new
// entry always fits the log text whole.
constexpr std::size_t kStampLength = 17;  // "2000/05/01 13:07 "
constexpr std::size_t kLongestEntry = kStampLength + kPieceLimit[kArgument] + 1 + kPieceLimit[kHost] + 2 +
                                      kPieceLimit[kAddress] + 1 + 3 + kPieceLimit[kAgent] + 1;
static_assert(sizeof kLogHeader - 1 + kLongestEntry <= kLogLimit, "an entry fits the log text");

// The bytes of the character that begins at s: a UTF-8 lead byte and the
// continuation bytes that follow it, up to what the lead byte announces.
std::size_t utf8_length(const char* s) {
  const auto lead = static_cast<unsigned char>(s[0]);
  const std::size_t announced = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  std::size_t n = 1;
  while (n < announced && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
  return n;
}

// Text from outside: a control byte must not end the line or the file early,
// and a backslash is doubled so that no typed text reads as an escape. A cut
// falls before an escape or a UTF-8 character that would not fit whole.
void append_outside(const char* s, Piece piece) {
  static const char kHex[] = "0123456789abcdef";
  const std::size_t end = log_text.len + kPieceLimit[piece];
  while (*s != '\0') {
    const auto byte = static_cast<unsigned char>(*s);
    const bool control = byte < 0x20 || byte == 0x7F;
    const std::size_t bytes = control || *s == '\\' ? 1 : utf8_length(s);
    const std::size_t width = control ? 4 : *s == '\\' ? 2 : bytes;
    if (log_text.len + width > end) return;
    if (control) {
      append_plain("\\x");
      append_char(kHex[byte >> 4]);
      append_char(kHex[byte & 0xF]);
    } else if (*s == '\\') {
      append_plain("\\\\");
    } else {
      for (std::size_t i = 0; i < bytes; ++i) append_char(s[i]);
    }
    s += bytes;
  }
}

void append_timestamp() {
  const platform::LocalTime t = platform::local_time_now();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d ", t.year, t.month, t.day, t.hour, t.minute);
  append_plain(stamp);
}

void append_new_entry(const RunContext& run) {
  append_timestamp();
  if (run.argc >= 2) {
    append_outside(run.argv[1], kArgument);
    append_char(' ');
  }
  const char* host = std::getenv("REMOTE_HOST");
  const char* addr = std::getenv("REMOTE_ADDR");
  if (host != nullptr) {
    append_outside(host, kHost);
    append_plain(" [");
    append_outside(addr != nullptr ? addr : "(null)", kAddress);
    append_char(']');
  } else if (addr != nullptr) {
    append_outside(addr, kAddress);
  }
  const char* agent = std::getenv("HTTP_USER_AGENT");
  if (agent != nullptr && agent[0] != '\0') {
    append_plain(" - ");
    append_outside(agent, kAgent);
  }
  append_char('\n');
}

// Reads one old line straight into the log text, within the limit.
std::size_t read_old_line(TextReader& reader) {
  return reader.read_line(log_text.text + log_text.len, kLogLimit - log_text.len);
}

// False where the old log could not be read: it is then left as it is.
bool carry_old_lines(platform::LockedFile& log) {
  TextReader reader(log);
  for (int i = 0; i < kDroppedLines; ++i) read_old_line(reader);
  for (int i = 0; i < kMaxCarriedLines && log_text.len < kLogLimit; ++i) {
    const std::size_t n = read_old_line(reader);
    if (n == 0) break;
    log_text.len += n;
  }
  return !reader.failed();
}

}  // namespace

LogResult rewrite_access_log(const RunContext& run) {
  log_text.len = 0;
  append_plain(kLogHeader);
  append_new_entry(run);
  platform::LockedFile log;
  const bool written = log.open(run.log_path, platform::Access::create, run.locked) == platform::FileOpen::ok &&
                       (!log.readable() || carry_old_lines(log)) && write_text_file(log, log_text.text, log_text.len);
  if (written) return LogResult::done;
  write_cannot_open(run.log_path);
  return LogResult::cannot_write;
}
