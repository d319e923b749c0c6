#include <cstdio>
#include <cstdlib>

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

// Text from outside: a control byte must not end the line or the file early,
// and a backslash is doubled so that no typed text reads as an escape.
void append_outside(const char* s) {
  static const char kHex[] = "0123456789abcdef";
  for (; *s != '\0'; ++s) {
    const auto byte = static_cast<unsigned char>(*s);
    if (byte < 0x20 || byte == 0x7F) {
      append_plain("\\x");
      append_char(kHex[byte >> 4]);
      append_char(kHex[byte & 0xF]);
    } else if (*s == '\\') {
      append_plain("\\\\");
    } else {
      append_char(*s);
    }
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
    append_outside(run.argv[1]);
    append_char(' ');
  }
  const char* host = std::getenv("REMOTE_HOST");
  const char* addr = std::getenv("REMOTE_ADDR");
  if (host != nullptr) {
    append_outside(host);
    append_plain(" [");
    append_outside(addr != nullptr ? addr : "(null)");
    append_char(']');
  } else if (addr != nullptr) {
    append_outside(addr);
  }
  const char* agent = std::getenv("HTTP_USER_AGENT");
  if (agent != nullptr && agent[0] != '\0') {
    append_plain(" - ");
    append_outside(agent);
  }
  append_char('\n');
}

// Reads one old line straight into the log text, within the limit.
std::size_t read_old_line(TextReader& reader) {
  return reader.read_line(log_text.text + log_text.len, kLogLimit - log_text.len);
}

void carry_old_lines(platform::LockedFile& log) {
  TextReader reader(log);
  for (int i = 0; i < kDroppedLines; ++i) read_old_line(reader);
  for (int i = 0; i < kMaxCarriedLines && log_text.len < kLogLimit; ++i) {
    const std::size_t n = read_old_line(reader);
    if (n == 0) break;
    log_text.len += n;
  }
}

}  // namespace

LogResult rewrite_access_log(const RunContext& run) {
  log_text.len = 0;
  append_plain(kLogHeader);
  append_new_entry(run);
  platform::LockedFile log;
  if (!log.open(run.log_path, platform::Access::create, run.locked)) {
    std::printf("Cannot open \"%s\".<BR>\n", run.log_path);
    return LogResult::cannot_write;
  }
  if (log.readable()) carry_old_lines(log);
  // Failures while writing are not reported: the run goes on to its answer.
  write_text_file(log, log_text.text, log_text.len);
  return LogResult::done;
}
