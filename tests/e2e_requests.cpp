// The outcome of every kind of run, as a web server or a console starts it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/answers.h"
#include "harness/harness.h"

namespace {

using harness::console_banner;
using harness::console_warning;
using harness::html_warning;
using harness::information_page;
struct File {
  std::string name;
  std::string bytes;
  mode_t mode = 0;  // given to a file before the run, expected of it after; 0: neither
};
using Files = std::vector<File>;

constexpr char kMissing[] = "<missing>";
constexpr int kText = -1;

struct Case {
  const char* what;
  bool native_only;  // chooses its own argument 0
  std::string argv0;
  std::vector<std::string> args;
  std::vector<std::string> env;
  Files before;
  int count;         // the picture's count, or kText
  int style;
  std::string text;  // the whole answer when count is kText; "{dir}" is the install directory
  Files after;
};

const std::vector<std::string> kWeb = {"REMOTE_ADDR=192.0.2.7"};
const std::vector<std::string> kConsole = {};
const std::string kName235(235, 'n');
const std::string kName236(236, 'n');
const std::string kName232(232, 'n');
const std::string kName231(231, 'n');
const std::string kDotDirs = "././././././././././";  // 20 characters naming the current directory

// A CGI server that passes no arguments, only the query (QUERY_STRING absent when null).
std::vector<std::string> cgi(const char* query, bool web = true) {
  std::vector<std::string> env = {"GATEWAY_INTERFACE=CGI/1.1"};
  if (web) env.push_back(kWeb[0]);
  if (query != nullptr) env.push_back(std::string("QUERY_STRING=") + query);
  return env;
}

// About the longest variable Linux passes to a program: every ASCII byte but zero and
// "=" (Wine recodes the environment, and bytes above 0x7F do not pass it unchanged).
std::string longest_query() {
  std::string query;
  for (int b = 0; query.size() < 131000; b = (b + 1) % 128) query += static_cast<char>(b == 0 || b == '=' ? 'q' : b);
  return query;
}

const std::vector<Case> kCases = {
    // Counter values.
    {"empty counter, web", false, "", {"hits"}, kWeb, {{"hits.ini", ""}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"41 becomes 42", false, "", {"hits"}, kWeb, {{"hits.ini", "41"}}, 42, 0, "", {{"hits.ini", "42"}}},
    {"rewritten files keep their modes", false, "", {"hits"}, kWeb,
     {{"hits.ini", "41", 0640}, {"lctlog.txt", "", 0664}}, 42, 0, "",
     {{"hits.ini", "42", 0640}, {"lctlog.txt", "<present>", 0664}}},
    {"console shows 42, keeps 41", false, "", {"hits"}, kConsole, {{"hits.ini", "41"}}, 42, 0, "",
     {{"hits.ini", "41"}, {"lctlog.txt", kMissing}}},
    {"line end makes it invalid", false, "", {"hits"}, kWeb, {{"hits.ini", "41\r\n"}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"bare line feed too", false, "", {"hits"}, kWeb, {{"hits.ini", "41\n"}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"carriage returns are dropped", false, "", {"hits"}, kWeb, {{"hits.ini", "4\r1"}}, 42, 0, "",
     {{"hits.ini", "42"}}},
    {"0x1A ends the file", false, "", {"hits"}, kWeb, {{"hits.ini", "41\x1a" "99"}}, 42, 0, "", {{"hits.ini", "42"}}},
    {"last value below the wrap", false, "", {"hits"}, kWeb, {{"hits.ini", "999999998"}}, 999999999, 0, "",
     {{"hits.ini", "999999999"}}},
    {"nine nines wrap to 0", false, "", {"hits"}, kWeb, {{"hits.ini", "999999999"}}, 0, 0, "", {{"hits.ini", "0"}}},
    {"negative", false, "", {"hits"}, kWeb, {{"hits.ini", "-5"}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"leading space", false, "", {"hits"}, kWeb, {{"hits.ini", " 7"}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"trailing letter", false, "", {"hits"}, kWeb, {{"hits.ini", "7a"}}, 1, 0, "", {{"hits.ini", "1"}}},
    {"2^32+1 wraps to 1", false, "", {"hits"}, kWeb, {{"hits.ini", "4294967297"}}, 2, 0, "", {{"hits.ini", "2"}}},
    {"wraps negative", false, "", {"hits"}, kWeb, {{"hits.ini", "2147483648"}}, 0, 0, "", {{"hits.ini", "0"}}},
    // 255 characters read 7; 256 would read 79, 200 only zeros.
    {"only the first 255 characters", false, "", {"hits"}, kWeb, {{"hits.ini", std::string(254, '0') + "79"}}, 8, 0,
     "", {{"hits.ini", "8"}}},
    {"subdirectory name", false, "", {"dir/name"}, kWeb, {{"dir/name.ini", "5"}}, 6, 0, "", {{"dir/name.ini", "6"}}},
    {"style 1", false, "", {"hits", "1"}, kWeb, {{"hits.ini", "887"}}, 888, 1, "", {{"hits.ini", "888"}}},
    {"style 2", false, "", {"hits", "2"}, kWeb, {{"hits.ini", "9"}}, 10, 2, "", {}},
    {"style 3", false, "", {"hits", "3"}, kWeb, {{"hits.ini", "1233"}}, 1234, 3, "", {}},
    {"style 03 is style 0", false, "", {"hits", "03"}, kWeb, {{"hits.ini", "1"}}, 2, 0, "", {}},
    {"style '3 ' is style 0", false, "", {"hits", "3 "}, kWeb, {{"hits.ini", "1"}}, 2, 0, "", {}},
    {"style 4 is style 0", false, "", {"hits", "4"}, kWeb, {{"hits.ini", "1"}}, 2, 0, "", {}},
    {"empty REMOTE_ADDR is a web request", false, "", {"hits"}, {"REMOTE_ADDR="}, {{"hits.ini", "1"}}, 2, 0, "",
     {{"hits.ini", "2"}}},
    {"REMOTE_HOST alone is a web request", false, "", {"hits"}, {"REMOTE_HOST=h"}, {{"hits.ini", "1"}}, 2, 0, "",
     {{"hits.ini", "2"}}},
    // Refused names: no answer at all, nothing changed.
    {"name with a dot", false, "", {"a.b"}, kWeb, {{"a.b.ini", "1"}}, kText, 0, "", {{"a.b.ini", "1"}}},
    {"dot dot", false, "", {".."}, kWeb, {}, kText, 0, "", {}},
    {"dot ini", false, "", {".ini"}, kWeb, {}, kText, 0, "", {}},
    {"backslash", false, "", {"dir\\name"}, kWeb, {}, kText, 0, "", {}},
    {"absolute path", false, "", {"/tmp/hits"}, kWeb, {}, kText, 0, "", {}},
    {"236 characters", true, "lumicount", {kName236}, kConsole, {}, kText, 0, "", {}},
    {"235 characters is a name", true, "lumicount", {kName235}, kConsole, {}, kText, 0, console_warning(kName235), {}},
    // Missing counters.
    {"missing counter, web", false, "", {"hits"}, kWeb, {}, kText, 0, html_warning("hits"), {{"hits.ini", kMissing}}},
    {"missing counter, console", false, "", {"hits"}, kConsole, {}, kText, 0, console_warning("hits"), {}},
    {"percent signs print as themselves", false, "", {"%d%s%n"}, kWeb, {}, kText, 0, html_warning("%d%s%n"), {}},
    {"percent signs on the console", false, "", {"%%%d%s%n"}, kConsole, {}, kText, 0, console_warning("%%%d%s%n"), {}},
    {"markup is escaped on the page", false, "", {"<b>&\"'x"}, kWeb, {}, kText, 0,
     html_warning("&lt;b&gt;&amp;&quot;&#39;x"), {}},
    {"markup unchanged on the console", false, "", {"<b>&\"'x"}, kConsole, {}, kText, 0, console_warning("<b>&\"'x"),
     {}},
    {"counter that is a directory", false, "", {"hits"}, kWeb, {{"hits.ini/", ""}}, kText, 0, html_warning("hits"),
     {}},
    // No counter named.
    {"no arguments, web", false, "", {}, kWeb, {}, kText, 0, information_page(), {}},
    {"no arguments, console", false, "", {}, kConsole, {}, kText, 0, console_banner(), {}},
    {"four arguments", false, "", {"hits", "1", "2"}, kWeb, {{"hits.ini", "5"}}, kText, 0, information_page(),
     {{"hits.ini", "5"}}},
    {"four arguments, console", false, "", {"hits", "1", "2"}, kConsole, {{"hits.ini", "5"}}, kText, 0,
     console_banner(), {}},
    {"empty style", false, "", {"hits", ""}, kWeb, {{"hits.ini", "5"}}, kText, 0, information_page(),
     {{"hits.ini", "5"}}},
    {"empty name", false, "", {""}, kWeb, {}, kText, 0, information_page(), {}},
    {"empty REMOTE_ADDR, no arguments", false, "", {}, {"REMOTE_ADDR="}, {}, kText, 0, information_page(), {}},
    // The access log gates web requests.
    {"log that cannot be written", false, "", {"hits"}, kWeb, {{"hits.ini", "5"}, {"lctlog.txt/", ""}}, kText, 0,
     "Cannot open \"{dir}lctlog.txt\".<BR>\n", {{"hits.ini", "5"}}},
    {"console ignores an unwritable log", false, "", {"hits"}, kConsole, {{"hits.ini", "5"}, {"lctlog.txt/", ""}},
     6, 0, "", {{"hits.ini", "5"}}},
    // Argument 0 decides where the files are.
    {"Windows path", true, "C:\\web\\cgi\\lumicount.exe", {}, kWeb, {}, kText, 0, information_page(),
     {{"C:\\web\\cgi\\lctlog.txt", "<present>"}}},
    {"bare program name", true, "lumicount.exe", {"hits"}, kWeb, {{"hits.ini", "3"}}, 4, 0, "",
     {{"hits.ini", "4"}, {"lctlog.txt", "<present>"}}},
    {"drive and colon", true, "D:lumicount.exe", {"hits"}, kWeb, {{"D:hits.ini", "3"}}, 4, 0, "",
     {{"D:hits.ini", "4"}, {"D:lctlog.txt", "<present>"}}},
    {"argument 0 of 1024 characters", true, std::string(1023, 'x') + "/", {"hits"}, kWeb, {{"hits.ini", "3"}}, 4, 0,
     "", {{"hits.ini", "4"}}},
    {"install directory too long for the log", true, std::string(300, 'x') + "/", {"hits"}, kWeb,
     {{"hits.ini", "3"}}, kText, 0, "", {{"hits.ini", "3"}}},
    {"counter path of 256 characters", true, kDotDirs + "lumicount", {kName232}, kConsole, {{kName232 + ".ini", "7"}},
     kText, 0, "", {}},
    {"counter path of 255 characters", true, kDotDirs + "lumicount", {kName231}, kConsole, {{kName231 + ".ini", "7"}},
     8, 0, "", {}},
    // Servers that leave the query's words to the program.
    {"query words when the server passed none", false, "", {}, cgi("hits+1"), {{"hits.ini", "41"}}, 42, 1, "",
     {{"hits.ini", "42"}}},
    {"query words decoded", false, "", {}, cgi("h%69ts+%33"), {{"hits.ini", "41"}}, 42, 3, "", {{"hits.ini", "42"}}},
    {"query with = gives no arguments", false, "", {}, cgi("hits+a=b"), {{"hits.ini", "5"}}, kText, 0,
     information_page(), {{"hits.ini", "5"}}},
    {"empty query gives no arguments", false, "", {}, cgi(""), {}, kText, 0, information_page(), {}},
    {"server's own arguments win over the query", false, "", {"hits"}, cgi("other+2"), {{"hits.ini", "5"}}, 6, 0, "",
     {{"hits.ini", "6"}, {"other.ini", kMissing}}},
    {"query ignored without GATEWAY_INTERFACE", false, "", {}, {"REMOTE_ADDR=192.0.2.7", "QUERY_STRING=hits"},
     {{"hits.ini", "5"}}, kText, 0, information_page(), {{"hits.ini", "5"}}},
    {"query ignored on the console", false, "", {}, cgi("hits", false), {{"hits.ini", "5"}}, kText, 0,
     console_banner(), {{"hits.ini", "5"}, {"lctlog.txt", kMissing}}},
    {"query too long for arguments", false, "", {}, cgi(longest_query().c_str()), {}, kText, 0, information_page(),
     {}},
};

std::string fill_dir(std::string text, const std::string& dir) {
  const std::size_t at = text.find("{dir}");
  return at == std::string::npos ? text : text.replace(at, 5, dir);
}

TEST(Requests, EveryOutcome) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    if (c.native_only && harness::under_launcher()) continue;
    const harness::InstallDir dir;
    for (const File& file : c.before) {
      // "name/" is a directory; "dir/name" a file in one.
      const std::size_t slash = file.name.rfind('/');
      if (slash != std::string::npos) dir.make_dir(file.name.substr(0, slash));
      if (slash != file.name.size() - 1) dir.write(file.name, file.bytes);
      if (file.mode != 0) chmod((dir.path() + "/" + file.name).c_str(), file.mode);
    }
    const harness::Outcome outcome = dir.run({c.argv0, c.args, c.env});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.status, 0);
    if (c.count == kText) {
      EXPECT_TRUE(harness::text_matches(fill_dir(c.text, dir.seen_by_program()), outcome.out)) << outcome.out;
    } else {
      EXPECT_EQ(harness::image_mismatch(outcome.out, c.count, c.style), "");
    }
    for (const File& file : c.after) {
      if (file.bytes == "<present>") {
        EXPECT_TRUE(dir.exists(file.name)) << file.name;
      } else {
        EXPECT_EQ(dir.read(file.name), file.bytes) << file.name;
      }
      // Wine gives the files it writes modes of its own.
      struct stat info {};
      if (file.mode != 0 && !harness::under_launcher()) {
        EXPECT_EQ(stat((dir.path() + "/" + file.name).c_str(), &info) == 0 ? info.st_mode & 07777 : 0, file.mode)
            << file.name;
      }
    }
  }
}

}  // namespace

// Files a web request may meet that are not what they should be: it answers
// at once, loses nothing and takes nothing away from the server's account.
enum class Expect { stored, shown, warning, cannot_open_log };

struct FileFault {
  const char* what;
  const char* counter;  // relative to the install directory
  const char* setup;    // shell command; {file} is the counter, {dir} its directory
  const char* cleanup;
  bool as_nobody;
  Expect expect;
  const char* verify = "true";  // shell command that must succeed afterwards
  int seconds = 5;              // the answer comes sooner than this
  bool program_beside = false;  // argument 0 names the counter's directory, not the install directory
  bool no_threads = false;      // the account may start no more processes or threads
  int not_before = 0;           // nor sooner: a stuck turn is waited for this long
};

// A turn held by a stuck request: the log never changes while it lasts.
#define LC_STUCK_HOLDER                                                                 \
  "flock -o -x {dir}/lctlog.lck -c 'touch {dir}/held; exec sleep 30' & echo $! >{dir}/holder; " \
  "while [ ! -e {dir}/held ]; do sleep 0.05; done"
// Turns that keep finishing without this request: the holder replaces the log every 1.5 s for 60 s.
#define LC_BUSY_HOLDER                                                                                           \
  "flock -o -x {dir}/lctlog.lck -c 'touch {dir}/held; for i in $(seq 40); do sleep 1.5; "                      \
  "echo x >{dir}/lctlog.txt.tmp && mv {dir}/lctlog.txt.tmp {dir}/lctlog.txt; done' & echo $! >{dir}/holder; " \
  "while [ ! -e {dir}/held ]; do sleep 0.05; done"

// A file outside the install directory, and a link to it owned by the server's account.
#define LC_OUTSIDE "printf secret >{dir}/../outside && "
#define LC_PLANT(link) "ln -s {dir}/../outside " link " && chown -h 65534:65534 " link
#define LC_UNTOUCHED "[ $(cat {dir}/../outside) = secret ]"

const FileFault kFileFaults[] = {
    // Shown advanced, stored as it was.
    {"no write permission for the server's account", "hits.ini", "chmod 0444 {file} && chmod 0777 {dir}", "true",
     true, Expect::shown},
    {"immutable file", "hits.ini", "chattr +i {file}", "chattr -i {file}", false, Expect::shown},
    {"read-only file system", "ro/hits.ini", "mount --bind {dir} {dir} && mount -o remount,bind,ro {dir}",
     "umount {dir}", false, Expect::shown},
    {"a stuck request holds the turn", "hits.ini", LC_STUCK_HOLDER, "pkill -P $(cat {dir}/holder); kill $(cat {dir}/holder)",
     false, Expect::shown, "true", 15, false, false, 10},
    {"a stuck request holds the turn, and no thread can be started", "hits.ini", LC_STUCK_HOLDER "; chmod 0755 {dir}",
     "pkill -P $(cat {dir}/holder); kill $(cat {dir}/holder)", true, Expect::shown, "true", 15, false, true, 10},
    {"a FIFO for the lock file", "hits.ini", "mkfifo -m 444 {dir}/lctlog.lck && chmod 0777 {dir}", "true", true,
     Expect::shown},
    // Special files are refused without waiting, stale ones replaced.
    {"a FIFO for a counter the server may not write", "hits.ini", "rm {file} && mkfifo -m 444 {file} && chmod 0777 {dir}", "true", true,
     Expect::warning},
    {"a write-only FIFO for the log", "hits.ini", "mkfifo -m 222 {dir}/lctlog.txt && chmod 0777 {dir}", "true", true,
     Expect::cannot_open_log},
    {"stale FIFOs at the temporary files", "hits.ini", "mkfifo {file}.tmp {dir}/lctlog.txt.tmp", "true", false,
     Expect::stored, "test ! -e {file}.tmp && test ! -e {dir}/lctlog.txt.tmp"},
    // A request run as root keeps the server's owners; one that cannot give them back rewrites in place.
    {"run as root", "hits.ini", "touch {dir}/lctlog.txt && chown 65534:65534 {file} {dir}/lctlog.txt && chmod 664 {file}",
     "true", false, Expect::stored, "[ \"$(stat -c %u:%g:%a {file} {dir}/lctlog.txt)\" = \"$(printf '65534:65534:664\\n65534:65534:644')\" ]"},
    {"an owner the account may not give", "hits.ini", "chown 0:65534 {file} && chmod 664 {file} && chmod 0777 {dir}",
     "true", true, Expect::stored, "[ \"$(stat -c %u:%g:%a {file})\" = 0:65534:664 ]"},
    // A full disk leaves both files as they were.
    {"a full disk", "full/hits.ini",
     "mount -t tmpfs -o size=40k tmpfs {dir} && printf 41 >{file} && "
     "head -c 30000 /dev/zero | tr '\\0' x | fold -w 99 >{dir}/lctlog.txt",
     "umount {dir}", false, Expect::cannot_open_log, "[ $(stat -c %s {dir}/lctlog.txt) = 30303 ] && test ! -e {dir}/lctlog.txt.tmp", 5, true},
    {"run as root where the server's account owns the directory and no log or lock file exists yet", "hits.ini",
     "chown 65534:65534 {dir} {file}", "true", false, Expect::stored,
     "[ \"$(stat -c %u:%g:%a {dir}/lctlog.txt {dir}/lctlog.lck)\" = \"$(printf '65534:65534:644\\n65534:65534:644')\" ]"},
    {"a log the account may only write", "hits.ini", "touch {dir}/lctlog.txt && chmod 0222 {dir}/lctlog.txt && chmod 0666 {file} && chmod 0777 {dir}",
     "true", true, Expect::stored, "grep -q ' hits 192.0.2.7' {dir}/lctlog.txt"},
    // Waited for to the total bound, however often the turns ahead go by.
    {"turns keep going by without this request", "hits.ini", LC_BUSY_HOLDER,
     "pkill -P $(cat {dir}/holder); kill $(cat {dir}/holder)", false, Expect::shown, "true", 44, false, false, 40},
    // Links in the install directory, run as root: followed only where root or the directory's owner made them.
    {"a counter link the server's account planted", "pkg/hits.ini", LC_OUTSIDE "rm {file} && " LC_PLANT("{file}"), "true",
     false, Expect::warning, LC_UNTOUCHED, 5, true},
    {"a log link the server's account planted", "pkg/hits.ini", LC_OUTSIDE LC_PLANT("{dir}/lctlog.txt"), "true", false,
     Expect::cannot_open_log, LC_UNTOUCHED, 5, true},
    {"a lock link the server's account planted", "pkg/hits.ini", LC_OUTSIDE LC_PLANT("{dir}/lctlog.lck"), "true", false,
     Expect::shown, LC_UNTOUCHED " && test ! -e {dir}/lctlog.txt", 5, true},
    {"a root link to a name the server's account made a link", "pkg/hits.ini",
     LC_OUTSIDE "rm {file} && ln -s count {file} && " LC_PLANT("{dir}/count"), "true", false, Expect::warning,
     LC_UNTOUCHED, 5, true},
    {"a link root made", "pkg/hits.ini", "mv {file} {dir}/../outside && ln -s ../outside {file}", "true", false,
     Expect::stored, "test -L {file} && [ $(cat {dir}/../outside) = 42 ]", 5, true},
    {"a link the directory's owner made", "pkg/hits.ini",
     "mv {file} {dir}/../outside && chown 65534 {dir} && ln -s {dir}/../outside {file} && chown -h 65534 {file}", "true",
     false, Expect::stored, "test -L {file} && [ $(cat {dir}/../outside) = 42 ]", 5, true},
};

std::string filled(std::string command, const std::string& file, const std::string& dir) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{file}", file}, {"{dir}", dir}}) {
    for (std::size_t at = command.find(key); at != std::string::npos; at = command.find(key)) {
      command.replace(at, key.size(), value);
    }
  }
  return command + " 2>/dev/null";
}

std::string fault_answer_problem(const FileFault& f, const harness::Outcome& outcome, const std::string& log_path) {
  switch (f.expect) {
    case Expect::stored:
    case Expect::shown:
      return harness::image_mismatch(outcome.out, 42, 1);
    case Expect::warning:
      return outcome.out == harness::html_warning("hits") ? "" : "answered: " + outcome.out;
    case Expect::cannot_open_log:
      return outcome.out == "Cannot open \"" + log_path + "\".<BR>\n" ? "" : "answered: " + outcome.out;
  }
  return "";
}

TEST(Requests, FileFaultsAnswerAtOnceAndLoseNothing) {
  std::string skipped;
  for (const FileFault& f : kFileFaults) {
    SCOPED_TRACE(f.what);
    const harness::InstallDir dir;
    const std::string counter = f.counter;
    const std::size_t slash = counter.rfind('/');
    const std::string sub = slash == std::string::npos ? "" : counter.substr(0, slash + 1);
    if (!sub.empty()) dir.make_dir(sub);
    dir.write(counter, "41");
    const std::string file = dir.path() + "/" + counter;
    const std::string parent = file.substr(0, file.rfind('/'));
    if (harness::under_launcher() || (f.as_nobody && geteuid() != 0) ||
        std::system(filled(f.setup, file, parent).c_str()) != 0) {
      skipped += std::string(skipped.empty() ? "" : "; ") + f.what;
      continue;
    }
    const std::string beside = f.program_beside ? sub : "";
    harness::Invocation call{beside.empty() ? "" : dir.path() + "/" + beside + "lumicount",
                             {counter.substr(beside.size(), counter.size() - beside.size() - 4), "1"}, kWeb};
    call.as_nobody = f.as_nobody;
    if (f.no_threads) {
      call.wrapper = {"/usr/bin/prlimit", "--nproc=1"};
      // LeakSanitizer needs a thread of its own at exit, which the limit refuses.
      call.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    }
    const auto began = std::chrono::steady_clock::now();
    const harness::Outcome outcome = dir.run(call);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // A FIFO planted for the counter is left alone, unread.
    const std::string after = f.expect == Expect::warning ? "" : dir.read(counter);
    const bool verified = std::system(filled(f.verify, file, parent).c_str()) == 0;
    EXPECT_EQ(std::system(filled(f.cleanup, file, parent).c_str()), 0);
    EXPECT_EQ(fault_answer_problem(f, outcome, dir.seen_by_program() + beside + "lctlog.txt"), "");
    if (f.expect != Expect::warning) {
      EXPECT_EQ(after, f.expect == Expect::stored ? "42" : "41");
    }
    EXPECT_TRUE(verified) << f.verify;
    EXPECT_LT(seconds, f.seconds);
    EXPECT_GE(seconds, f.not_before);
  }
  if (!skipped.empty()) std::printf("this machine or build does not allow: %s\n", skipped.c_str());
}
