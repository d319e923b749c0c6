#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "request/request.h"
#include "request/text_file.h"

namespace {

constexpr std::size_t kLogLimit = kLogTextSize - 1;
constexpr int kMaxCarriedLines = 299;
constexpr int kDroppedLines = 2;
constexpr char kLogHeader[] = "lumicount.exe version 2.1 log file\n\n";
constexpr std::size_t kHeaderChars = sizeof kLogHeader - 1;

// Text being put together: the new log text (header, the new entries, then
// the carried-over lines, kLogTextSize characters), or one request's entry.
struct LogText {
  char* text;
  std::size_t len;
  std::size_t limit;
};
// The log text lies in the pages the old log is read into and the new one written from.
LogText log_text;

void append_char(char c) {
  if (log_text.len < log_text.limit) log_text.text[log_text.len++] = c;
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

// The longest entry: a stamp (five numbers of up to 11 characters and their
// separators), each piece at its bound and the text between them.
constexpr std::size_t kStampChars = 5 * 11 + 5;
constexpr std::size_t kMaxEntryChars = kStampChars + kPieceLimit[kArgument] + 1 + kPieceLimit[kHost] + 2 +
                                       kPieceLimit[kAddress] + 1 + 3 + kPieceLimit[kAgent] + 1;
// Every run of a batch reads back the header its predecessor wrote: it must fit beside any entry.
static_assert(2 * kHeaderChars + kMaxEntryChars < kLogLimit, "a new log holds its header and entry whole");
// The header's line ends, the first entry's, and one for each line carried.
static_assert(2 + 1 + kMaxCarriedLines <= kMaxLogLines, "every line end of a log has its room on disk");
// Each request's entry, from when it is read until its turn.
char entries[platform::kBatchLimit][kMaxEntryChars];

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

// As "%0*d" prints it, the sign within the width; formatted printing would
// cost a hit more than the rest of its entry.
void append_number(int value, int width) {
  char digits[16];
  int n = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) append_char('-');
  for (int pad = n + (value < 0 ? 1 : 0); pad < width; ++pad) append_char('0');
  while (n > 0) append_char(digits[--n]);
}

// "%04d/%02d/%02d %02d:%02d " of the local time.
void append_timestamp() {
  const platform::LocalTime t = platform::local_time_now();
  append_number(t.year, 4);
  append_char('/');
  append_number(t.month, 2);
  append_char('/');
  append_number(t.day, 2);
  append_char(' ');
  append_number(t.hour, 2);
  append_char(':');
  append_number(t.minute, 2);
  append_char(' ');
}

void append_new_entry(const Request& request) {
  append_timestamp();
  if (request.argc >= 2) {
    append_outside(request.argv[1], kArgument);
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

void append_text(const char* text, std::size_t len) {
  const std::size_t n = std::min(len, log_text.limit - log_text.len);
  std::memcpy(log_text.text + log_text.len, text, n);
  log_text.len += n;
}

void append_entry(const Request& request) { append_text(request.entry, request.entry_len); }

// Reads one old line straight into the log text, within the limit.
std::size_t read_old_line(TextReader& reader) {
  return reader.read_line(log_text.text + log_text.len, kLogLimit - log_text.len);
}

// False where the old log could not be read: it is then left as it is.
// lines: how many old lines were carried.
bool carry_old_lines(platform::LockedFile& log, FileBytes& bytes, int& lines) {
  TextReader reader(log, &bytes);
  for (int i = 0; i < kDroppedLines; ++i) read_old_line(reader);
  int carried = 0;
  for (; carried < kMaxCarriedLines && log_text.len < kLogLimit; ++carried) {
    const std::size_t n = read_old_line(reader);
    if (n == 0) break;
    log_text.len += n;
  }
  lines = carried;
  return !reader.failed();
}

// Where the first `lines` of the `held` lines in text end (the last may lack its line end).
std::size_t end_of_lines(const char* text, std::size_t len, int held, int lines) {
  std::size_t end = len;
  for (int i = held; i > lines && end > 0; --i) {
    --end;  // the line's last character, its line end where it has one
    while (end > 0 && text[end - 1] != '\n') --end;
  }
  return end;
}

// The entries after the first go above it, newest first, as each of their runs
// would have put its own above the log the run before wrote: every run carries
// at most 299 lines, so of the old lines the first carried at most 300 - count
// stay, and the text keeps to its limit, the oldest lines cut first.
void put_newer_entries(const Request* requests, int count, int held) {
  const std::size_t first_len = requests[0].entry_len;
  const std::size_t old_at = kHeaderChars + first_len;
  const std::size_t old_kept =
      end_of_lines(log_text.text + old_at, log_text.len - old_at, held, kMaxCarriedLines + 1 - count);
  std::size_t newer = 0;
  for (int k = 1; k < count; ++k) newer += requests[k].entry_len;
  const std::size_t room = kLogLimit - kHeaderChars;
  const std::size_t moved = newer >= room ? 0 : std::min(first_len + old_kept, room - newer);
  std::memmove(log_text.text + kHeaderChars + newer, log_text.text + kHeaderChars, moved);
  log_text.len = kHeaderChars;
  for (int k = count - 1; k >= 1; --k) append_entry(requests[k]);
  log_text.len += moved;
}

}  // namespace

void make_log_entry(Request& request, int slot) {
  log_text = {entries[slot], 0, kMaxEntryChars};
  append_new_entry(request);
  request.entry = entries[slot];
  request.entry_len = log_text.len;
}

bool prepare_access_log(platform::LockedFile& log, const RunContext& run, const Request* requests, int count,
                        FileBytes& bytes) {
  log_text = {bytes.bytes, 0, kLogLimit};
  append_text(kLogHeader, kHeaderChars);
  if (log.open(run.log_path, platform::Access::create, run.locked) != platform::FileOpen::ok) return false;
  // A log that may not be read carries nothing: each run's leaves only its own entry.
  if (!log.readable()) {
    append_entry(requests[count - 1]);
    return true;
  }
  append_entry(requests[0]);
  int lines = 0;
  if (!carry_old_lines(log, bytes, lines)) return false;
  if (count > 1) put_newer_entries(requests, count, lines);
  return true;
}

bool write_access_log(platform::LockedFile& log, FileBytes& bytes) { return write_text_file(log, bytes, log_text.len); }
