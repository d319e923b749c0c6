// The access log's bytes on disk after web requests, CR LF line ends included.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "harness/harness.h"

namespace {

const std::string kHeader = "lumicount.exe version 2.1 log file\n\n";
constexpr std::size_t kLimit = 49994;
constexpr char kAbsent[] = "<absent>";
// The user agent's bound in the log, in characters.
constexpr std::size_t kAgentBound = 1024;

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string old_entries(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) text += "2000/01/01 00:00 old" + std::to_string(i) + " 192.0.2.1\n";
  return text;
}

std::string long_lines(int count, std::size_t length) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(length - 1, static_cast<char>('a' + i % 26)) + "\n";
  return text;
}

std::string cut(const std::string& text) { return text.substr(0, kLimit); }

struct LogCase {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::string old_log;  // bytes on disk, or kAbsent
  std::function<std::string(const std::string& stamp)> expected;  // log text with "\n" line ends
};

const std::vector<std::string> kAddrAgent = {"REMOTE_ADDR=192.0.2.7", "HTTP_USER_AGENT=TestAgent/1.0"};
const std::vector<std::string> kAddr = {"REMOTE_ADDR=192.0.2.7"};

std::string with(const std::string& stamp, const std::string& entry, const std::string& rest = "") {
  return kHeader + stamp + " " + entry + "\n" + rest;
}

const std::vector<LogCase> kLogCases = {
    {"first log", {"hits"}, kAddrAgent, kAbsent,
     [](const std::string& t) { return with(t, "hits 192.0.2.7 - TestAgent/1.0"); }},
    {"host and address", {"hits"}, {"REMOTE_HOST=192.0.2.7", "REMOTE_ADDR=192.0.2.7"}, kAbsent,
     [](const std::string& t) { return with(t, "hits 192.0.2.7 [192.0.2.7]"); }},
    {"no arguments, empty agent", {}, {"REMOTE_ADDR=192.0.2.7", "HTTP_USER_AGENT="}, kAbsent,
     [](const std::string& t) { return with(t, "192.0.2.7"); }},
    {"empty host", {"hits"}, {"REMOTE_HOST=", "REMOTE_ADDR=192.0.2.7"}, kAbsent,
     [](const std::string& t) { return with(t, "hits  [192.0.2.7]"); }},
    {"host without address", {"hits"}, {"REMOTE_HOST=h"}, kAbsent,
     [](const std::string& t) { return with(t, "hits h [(null)]"); }},
    {"empty address", {"hits"}, {"REMOTE_ADDR="}, kAbsent, [](const std::string& t) { return with(t, "hits "); }},
    {"empty address with agent", {"hits"}, {"REMOTE_ADDR=", "HTTP_USER_AGENT=UA"}, kAbsent,
     [](const std::string& t) { return with(t, "hits  - UA"); }},
    {"empty argument 1", {""}, kAddr, kAbsent, [](const std::string& t) { return with(t, " 192.0.2.7"); }},
    {"four arguments", {"hits", "1", "2"}, kAddr, kAbsent,
     [](const std::string& t) { return with(t, "hits 192.0.2.7"); }},
    {"refused name in full", {"../a.b\\c"}, kAddr, kAbsent,
     [](const std::string& t) { return with(t, "../a.b\\\\c 192.0.2.7"); }},
    {"control bytes cannot forge lines", {"a\nb"}, {"REMOTE_HOST=h\r", "REMOTE_ADDR=1\x1a", "HTTP_USER_AGENT=x\x7fy\t"},
     kAbsent, [](const std::string& t) { return with(t, "a\\x0ab h\\x0d [1\\x1a] - x\\x7fy\\x09"); }},
    {"a typed escape cannot pass for a line end", {"a\nb"}, {"REMOTE_ADDR=1", "HTTP_USER_AGENT=a\\x0ab\\"}, kAbsent,
     [](const std::string& t) { return with(t, "a\\x0ab 1 - a\\\\x0ab\\\\"); }},
    {"299 old entries all stay", {"hits"}, kAddr, crlf(kHeader + old_entries(299)),
     [](const std::string& t) { return with(t, "hits 192.0.2.7", old_entries(299)); }},
    {"beyond 300 entries the oldest go", {"hits"}, kAddr, crlf(kHeader + old_entries(350)),
     [](const std::string& t) { return with(t, "hits 192.0.2.7", old_entries(299)); }},
    {"header only", {"hits"}, kAddr, crlf(kHeader), [](const std::string& t) { return with(t, "hits 192.0.2.7"); }},
    {"one line only", {"hits"}, kAddr, crlf("lumicount.exe version 2.1 log file\n"),
     [](const std::string& t) { return with(t, "hits 192.0.2.7"); }},
    {"empty old log", {"hits"}, kAddr, "", [](const std::string& t) { return with(t, "hits 192.0.2.7"); }},
    {"both header lines removed by hand", {"hits"}, kAddr, crlf(old_entries(5)),
     [](const std::string& t) {
       return with(t, "hits 192.0.2.7", old_entries(5).substr(old_entries(2).size()));
     }},
    {"header line removed by hand", {"hits"}, kAddr, crlf("\n" + old_entries(3)),
     [](const std::string& t) {
       return with(t, "hits 192.0.2.7", old_entries(3).substr(old_entries(1).size()));
     }},
    {"last old line without line end", {"hits"}, kAddr, crlf(kHeader + "tail"),
     [](const std::string& t) { return with(t, "hits 192.0.2.7", "tail"); }},
    {"0x1A ends the old log", {"hits"}, kAddr, crlf(kHeader + old_entries(2)) + "\x1a" + crlf(old_entries(3)),
     [](const std::string& t) { return with(t, "hits 192.0.2.7", old_entries(2)); }},
    {"character limit cuts the straddling line", {"hits"}, kAddr, crlf(kHeader + long_lines(60, 1000)),
     [](const std::string& t) { return cut(with(t, "hits 192.0.2.7", long_lines(60, 1000))); }},
    {"each piece has its own bound", {std::string(300, 'n')},
     {"REMOTE_HOST=" + std::string(300, 'h'), "REMOTE_ADDR=" + std::string(100, 'a'), "HTTP_USER_AGENT=" + std::string(60000, 'u')},
     crlf(kHeader + long_lines(48, 1000)), [](const std::string& t) {
       return with(t, std::string(300, 'n') + " " + std::string(255, 'h') + " [" + std::string(64, 'a') + "] - " +
                          std::string(1024, 'u'), long_lines(48, 1000));
     }},
    {"a cut never splits an escape", {"hits"}, {"REMOTE_ADDR=a", "HTTP_USER_AGENT=" + std::string(1023, 'u') + "\\"},
     kAbsent, [](const std::string& t) { return with(t, "hits a - " + std::string(1023, 'u')); }},
    {"escapes count towards the bound", {"hits"}, {"REMOTE_ADDR=a", "HTTP_USER_AGENT=" + std::string(8000, '\t')},
     kAbsent, [](const std::string& t) {
       std::string tabs;
       for (int i = 0; i < 256; ++i) tabs += "\\x09";
       return with(t, "hits a - " + tabs);
     }},
    {"a control escape takes four characters of the bound", {"hits"},
     {"REMOTE_ADDR=a", "HTTP_USER_AGENT=" + std::string(kAgentBound - 3, 'u') + "\t"}, kAbsent,
     [](const std::string& t) { return with(t, "hits a - " + std::string(kAgentBound - 3, 'u')); }},
    {"a refused name of 9,000 characters is cut at 8,192", {std::string(9000, 'n')}, kAddr, kAbsent,
     [](const std::string& t) { return with(t, std::string(8192, 'n') + " 192.0.2.7"); }},
    {"a user agent of 700 characters is whole", {"hits"}, {"REMOTE_ADDR=a", "HTTP_USER_AGENT=" + std::string(700, 'u')},
     kAbsent, [](const std::string& t) { return with(t, "hits a - " + std::string(700, 'u')); }},
    {"a cut falls between UTF-8 characters", {std::string(8189, 'n') + "\xe2\x82\xac" "x"},
     {"REMOTE_ADDR=a", "HTTP_USER_AGENT=" + std::string(1023, 'u') + "\xc3\xa9"}, kAbsent,
     [](const std::string& t) { return with(t, std::string(8189, 'n') + "\xe2\x82\xac" " a - " + std::string(1023, 'u')); }},
};

std::string stamp_of(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M", &parts);
  return text;
}

// Runs one web request in UTC and returns the log; stamps bracket the run.
std::string logged_run(const harness::InstallDir& dir, const LogCase& c, std::string& before, std::string& after) {
  std::vector<std::string> env = c.env;
  env.push_back("TZ=UTC");
  before = stamp_of(std::time(nullptr));
  const harness::Outcome outcome = dir.run({"", c.args, env});
  after = stamp_of(std::time(nullptr));
  EXPECT_TRUE(outcome.exited && outcome.status == 0);
  return dir.read("lctlog.txt");
}

// Wine recodes arguments and the environment: bytes above 0x7F do not reach the program unchanged.
bool ascii_only(const LogCase& c) {
  std::string all;
  for (const std::string& s : c.args) all += s;
  for (const std::string& s : c.env) all += s;
  return std::all_of(all.begin(), all.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
}

TEST(AccessLog, EntriesAndLimits) {
  for (const LogCase& c : kLogCases) {
    SCOPED_TRACE(c.what);
    if (harness::under_launcher() && !ascii_only(c)) continue;
    const harness::InstallDir dir;
    if (c.old_log != kAbsent) dir.write("lctlog.txt", c.old_log);
    std::string before;
    std::string after;
    const std::string log = logged_run(dir, c, before, after);
    const std::string expected = crlf(c.expected(before));
    if (log != expected) {
      EXPECT_EQ(log, crlf(c.expected(after)));
    }
    EXPECT_LE(log.size(), kLimit + 302);
  }
}

// A cut last line is carried again on the next request, as far as it fits.
TEST(AccessLog, CutLineIsCarriedAgain) {
  const harness::InstallDir dir;
  dir.write("lctlog.txt", crlf(kHeader + long_lines(60, 1000)));
  const LogCase first{"first", {"one"}, kAddr, "", nullptr};
  const LogCase second{"second", {"two"}, kAddr, "", nullptr};
  std::string before;
  std::string after;
  const std::string first_log = logged_run(dir, first, before, after);
  ASSERT_EQ(first_log.substr(first_log.size() - 2).find('\n'), std::string::npos) << "the cut line has no line end";
  const std::string carried = first_log.substr(crlf(kHeader).size());
  const std::string second_log = logged_run(dir, second, before, after);
  std::string old_text;
  for (char ch : carried) {
    if (ch != '\r') old_text += ch;
  }
  const std::string expected = cut(with(before, "two 192.0.2.7", old_text));
  if (second_log != crlf(expected)) {
    EXPECT_EQ(second_log, crlf(cut(with(after, "two 192.0.2.7", old_text))));
  }
}

// Local time, not UTC: the server's zone decides the stamp.
TEST(AccessLog, StampInLocalTime) {
  const harness::InstallDir dir;
  const std::time_t now = std::time(nullptr);
  const harness::Outcome outcome = dir.run({"", {}, {"REMOTE_ADDR=x", "TZ=XYZ-5:30"}});
  ASSERT_TRUE(outcome.exited);
  const std::string log = dir.read("lctlog.txt");
  const std::string expected_a = stamp_of(now + 5 * 3600 + 1800);
  const std::string expected_b = stamp_of(now + 5 * 3600 + 1800 + 60);
  const std::string stamp = log.substr(crlf(kHeader).size(), 16);
  EXPECT_TRUE(stamp == expected_a || stamp == expected_b) << stamp;
}

}  // namespace
