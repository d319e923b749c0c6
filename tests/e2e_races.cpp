// Overlapping and killed web requests lose nothing and corrupt nothing.
#include <gtest/gtest.h>

#include <linux/magic.h>
#include <signal.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "harness/answers.h"
#include "harness/harness.h"

namespace {

constexpr int kOverlapping = 48;
constexpr int kKilled = 150;
const std::string kHeader = "lumicount.exe version 2.1 log file\r\n\r\n";

int count_entries(const std::string& log) {
  int lines = 0;
  for (char c : log) lines += c == '\n' ? 1 : 0;
  return lines - 2;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// As many requests at once as a busy server starts; each process is far
// heavier under Wine and the sanitizers, so their bursts are smaller.
std::vector<int> burst_sizes() {
  if (harness::under_launcher()) return {50};
  if (kSanitized) return {400};
  return {400, 3000};
}

// Keeps one core busy while it lives, as other work on a server does.
class BusyCore {
 public:
  BusyCore() : pid_(fork()) {
    for (volatile unsigned long spin = 0; pid_ == 0; spin = spin + 1) {
    }
  }
  ~BusyCore() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  BusyCore(const BusyCore&) = delete;
  BusyCore& operator=(const BusyCore&) = delete;

 private:
  const pid_t pid_;
};

// With a request number behind it an entry has at most 166 characters, so
// 300 of them all but fill the 49,994 characters of the log.
const std::string kLongAgent = "burst-agent/1.0 " + std::string(111, 'x');

// A log at both limits: 300 entries and nearly 49,994 characters.
std::string full_log() {
  std::string log = kHeader;
  for (int i = 0; i < 300; ++i) log += "2026/01/01 00:00 hits 192.0.2.1 - " + kLongAgent + "\r\n";
  return log;
}

double seconds_since(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// Header first, every line ended by CR LF.
bool log_intact(const std::string& log) {
  if (log.compare(0, kHeader.size(), kHeader) != 0) return false;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if ((log[i] == '\n') != (i > 0 && log[i - 1] == '\r')) return false;
  }
  return log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0;
}

TEST(Races, OverlappingRequestsAllCount) {
  const harness::InstallDir dir;
  dir.write("hits.ini", "1000");
  std::vector<harness::Invocation> calls;
  std::vector<harness::Running> running;
  for (int i = 0; i < kOverlapping; ++i) {
    calls.push_back({"", {"hits", "1"}, {"REMOTE_ADDR=192.0.2." + std::to_string(i)}});
    running.push_back(dir.start(calls.back()));
  }
  int pictures = 0;
  std::string others;  // what the runs without a picture did, to tell the program's fault from the launcher's
  for (std::size_t i = 0; i < running.size(); ++i) {
    const harness::Outcome outcome = dir.finish_started(running[i], calls[i]);
    const bool picture = outcome.exited && outcome.out.compare(0, 25, harness::kImageHeader) == 0;
    pictures += picture ? 1 : 0;
    if (!picture) others += " [exited " + std::to_string(outcome.exited) + ", status " + std::to_string(outcome.status) + ": " + outcome.out.substr(0, 120) + "]";
  }
  EXPECT_EQ(pictures, kOverlapping) << others;
  EXPECT_EQ(dir.read("hits.ini"), std::to_string(1000 + kOverlapping));
  const std::string log = dir.read("lctlog.txt");
  EXPECT_TRUE(log_intact(log));
  EXPECT_EQ(count_entries(log), kOverlapping);
}

// A burst released at one instant, with the log at its limits and one core
// busy elsewhere: no request fails or waits forever because others hold the lock.
TEST(Races, BurstsAllAnswerCountAndLog) {
  constexpr int kStart = 1000;
  for (const int n : burst_sizes()) {
    SCOPED_TRACE("burst of " + std::to_string(n));
    const harness::InstallDir dir;
    dir.write("hits.ini", std::to_string(kStart));
    dir.write("lctlog.txt", full_log());
    dir.make_dir("answers");
    std::vector<harness::Invocation> calls;
    std::vector<harness::Running> running;
    double burst_seconds = 0;
    {
      const BusyCore busy;
      // After the busy process, which must not hold the gate open.
      int gate[2];
      ASSERT_EQ(pipe(gate), 0);
      for (int i = 0; i < n; ++i) {
        harness::Invocation call{"", {"hits", "1"}, {"REMOTE_ADDR=192.0.2.7", "HTTP_USER_AGENT=" + kLongAgent + std::to_string(i)}};
        call.gate[0] = gate[0];
        call.gate[1] = gate[1];
        call.out_file = dir.path() + "/answers/" + std::to_string(i);
        calls.push_back(call);
        running.push_back(dir.start(call));
      }
      close(gate[0]);
      const auto began = std::chrono::steady_clock::now();
      close(gate[1]);
      for (std::size_t i = 0; i < running.size(); ++i) dir.finish_started(running[i], calls[i]);
      burst_seconds = seconds_since(began);
    }
    int pictures = 0;
    for (int i = 0; i < n; ++i) {
      const std::string out = dir.read("answers/" + std::to_string(i));
      const harness::Picture picture = harness::decode_gif(out.substr(std::min<std::size_t>(out.size(), 25)));
      pictures += out.compare(0, 25, harness::kImageHeader) == 0 && picture.ok && picture.width == 60 ? 1 : 0;
    }
    EXPECT_EQ(pictures, n);
    EXPECT_EQ(dir.read("hits.ini"), std::to_string(kStart + n));
    const std::string log = dir.read("lctlog.txt");
    EXPECT_TRUE(log_intact(log));
    EXPECT_EQ(count_entries(log), 300);
    // The newest entries are the burst's own, one per request.
    std::vector<bool> seen(static_cast<std::size_t>(n), false);
    int logged = 0;
    for (std::size_t at = log.find(kLongAgent); at != std::string::npos; at = log.find(kLongAgent, at + 1)) {
      const std::size_t digits = at + kLongAgent.size();
      if (log[digits] == '\r') continue;
      const int i = std::stoi(log.substr(digits));
      logged += seen[static_cast<std::size_t>(i)] ? 0 : 1;
      seen[static_cast<std::size_t>(i)] = true;
    }
    EXPECT_EQ(logged, std::min(n, 300));
    // For the record: the same requests one after another.
    const auto began = std::chrono::steady_clock::now();
    constexpr int kSequential = 50;
    for (int i = 0; i < kSequential; ++i) dir.run({"", {"hits", "1"}, {"REMOTE_ADDR=192.0.2.7", "HTTP_USER_AGENT=" + kLongAgent}});
    std::printf("burst of %d: %.2f s; one after another about %.2f s\n", n, burst_seconds,
                seconds_since(began) / kSequential * n);
  }
}

TEST(Races, KilledRequestsLeaveValidFiles) {
  if (harness::under_launcher()) GTEST_SKIP() << "killing the launcher does not kill the program at once";
  const harness::InstallDir dir;
  dir.write("hits.ini", "500");
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delay_us(0, 1500);
  long previous = 500;
  for (int i = 0; i < kKilled; ++i) {
    const harness::Running run = dir.start({"", {"hits"}, {"REMOTE_ADDR=192.0.2.9"}});
    usleep(static_cast<useconds_t>(delay_us(random)));
    kill(run.pid, SIGKILL);
    harness::finish(run);
    const std::string counter = dir.read("hits.ini");
    ASSERT_TRUE(harness::holds_count(counter)) << "after kill " << i << ": '" << counter << "'";
    const long value = std::stol(counter);
    ASSERT_GE(value, previous) << "after kill " << i;
    previous = value;
    // Killed before the first log was written, the log may exist but be empty.
    const std::string log = dir.read("lctlog.txt");
    if (dir.exists("lctlog.txt") && !(previous == 500 && log.empty())) {
      ASSERT_TRUE(log_intact(log)) << "after kill " << i;
    }
  }
  // A temporary file left by a killed writer does not stop the next request.
  const harness::Outcome outcome = dir.run({"", {"hits"}, {"REMOTE_ADDR=192.0.2.9"}});
  EXPECT_EQ(harness::image_mismatch(outcome.out, static_cast<int>(previous) + 1, 0), "");
  EXPECT_EQ(dir.read("hits.ini"), std::to_string(previous + 1));
}

// What every reader of the files takes: the bytes before a 0x1A.
std::string as_read(const std::string& bytes) { return bytes.substr(0, bytes.find('\x1a')); }

// Each line after the header a whole entry, beginning with its date and time.
bool whole_entries(const std::string& log) {
  if (!log_intact(log)) return false;
  for (std::size_t at = kHeader.size(); at < log.size(); at = log.find('\n', at) + 1) {
    if (log.size() - at < 17 || log[at + 4] != '/' || log[at + 10] != ' ' || log[at + 13] != ':') return false;
  }
  return true;
}

const char kStrace[] = "/usr/bin/strace";
// LeakSanitizer cannot run under ptrace: a sanitized program traced by strace would fail at exit.
const char kNoLeakCheckUnderTrace[] = "ASAN_OPTIONS=detect_leaks=0";

// A request killed, or failed by its file system, at one chosen system call:
// the instants a random kill or a real fault rarely hits.
enum class Answer { none, picture, cannot_open };

struct Injected {
  const char* what;
  bool in_place;        // run as nobody in a directory it may not write
  std::string counter;  // before
  bool full_log;        // else the header alone, which every request makes longer
  const char* inject;   // strace's fault injection: call:signal or error:when, @file: only on that file's path
  std::string counter_read;  // the counter as every reader takes it afterwards
  Answer answer = Answer::none;
  bool by_name = false;  // @file as the program looks it up from its directory's handle, not the open file
  bool waits = false;  // the injected call is the turn's first try: no name a turn replaces is looked up till it comes
  bool journaled_disk = false;  // only where the install directory is on local ext4 or XFS
};

const Injected kInjected[] = {
    {"killed before the new counter is renamed over the old", false, "41", true, "renameat:signal=KILL:when=2", "41"},
    {"in place, killed before the cut after the wrap", true, "999999999", false, "ftruncate:signal=KILL:when=1", "0"},
    {"in place, killed after the count behind leading zeros", true, "999999999", false, "write:signal=KILL:when=3",
     "000000000"},
    {"in place, killed before the shrinking log is cut", true, "41", true, "ftruncate:signal=KILL:when=1", "41"},
    // Another machine replaced a name this one still had cached: looked up again, counted.
    {"a stale name when opening", false, "41", true, "newfstatat:error=ESTALE:when=1..2@lctlog.txt", "42", Answer::picture},
    {"a stale name when reading", false, "41", true, "read:error=ESTALE:when=1@lctlog.txt", "42", Answer::picture},
    // A read that fails is never the end of the file: nothing is rewritten from it.
    {"a failing read of the log", false, "41", true, "read:error=EIO:when=1@lctlog.txt", "41", Answer::cannot_open},
    // A counter the file system cannot open is not missing: no warning page for it.
    {"a counter that fails to open", false, "41", true, "newfstatat:error=EIO:when=1@hits.ini", "41", Answer::cannot_open},
    {"a failing read of the counter", false, "41", true, "read:error=EIO:when=1@hits.ini", "41", Answer::cannot_open},
    // A name another machine replaced is looked up afresh four times, then given up.
    {"a stale log name at four lookups", false, "41", true, "openat:error=ESTALE:when=1..4@lctlog.txt", "42", Answer::picture, true},
    {"a stale log name at five lookups", false, "41", true, "openat:error=ESTALE:when=1..5@lctlog.txt", "41", Answer::cannot_open, true},
    // GlusterFS's forms of a replaced file: ENOENT on a read, and on the first lookup.
    {"ENOENT when reading the log", false, "41", true, "read:error=ENOENT:when=1@lctlog.txt", "42", Answer::picture},
    {"ENOENT at the counter's first lookup", false, "41", true, "openat:error=ENOENT:when=1@hits.ini", "42", Answer::picture, true},
    // There waiting for the data write suffices: a full sync, failing here, is never asked for.
    {"the data wait on ext4 or XFS", false, "41", true, "fdatasync:error=EIO:when=1", "42", Answer::picture, false, false, true},
    // A shared volume's server may bind a name looked up while another machine renames over it to the old file.
    {"waiting for the turn", false, "41", true, "flock:error=EAGAIN:when=1", "42", Answer::picture, false, true},
    {"waiting for a file's own lock", true, "41", true, "flock:error=EAGAIN:when=1", "42", Answer::picture, false, true},
};

// The calls a traced run made between its first try for a lock and the try that took it; empty without a wait.
std::string calls_while_waiting(const std::string& trace) {
  const std::size_t first = trace.find("LOCK_EX|LOCK_NB)");
  const std::size_t taken = trace.find("flock(", first);
  return first == std::string::npos || taken == std::string::npos ? "" : trace.substr(first, taken - first);
}

TEST(Races, KilledAtEachStepLeavesWholeFiles) {
  if (harness::under_launcher() || geteuid() != 0 || access(kStrace, X_OK) != 0) {
    GTEST_SKIP() << "needs root and strace (scripts/deps) to kill the program at a chosen call";
  }
  for (const Injected& c : kInjected) {
    SCOPED_TRACE(c.what);
    const harness::InstallDir dir;
    struct statfs fs {};
    const bool journaled = statfs(dir.path().c_str(), &fs) == 0 && (fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == XFS_SUPER_MAGIC);
    if (c.journaled_disk && !journaled) continue;
    dir.write("hits.ini", c.counter);
    const std::string old_log = c.full_log ? full_log() : kHeader;
    dir.write("lctlog.txt", old_log);
    if (c.waits) dir.write("trace", "");  // before nobody gets the files: strace writes it as the run's account
    if (c.in_place) dir.give_to_nobody_read_only();
    harness::Invocation call{"", {"hits"}, {"REMOTE_ADDR=192.0.2.9", kNoLeakCheckUnderTrace}};
    call.as_nobody = c.in_place;
    const std::string inject = c.inject;
    const std::size_t at = inject.find('@');
    const std::string file = at == std::string::npos ? "" : inject.substr(at + 1);
    const std::string traced = c.waits ? "flock,%file" : inject.substr(0, inject.find(':'));
    call.wrapper = {kStrace, "-f", "-qq", "-o", c.waits ? dir.path() + "/trace" : "/dev/null", "-e", "trace=" + traced, "-e",
                    "inject=" + inject.substr(0, at)};
    if (!file.empty()) call.wrapper.insert(call.wrapper.end(), {"-P", c.by_name ? file : dir.path() + "/" + file});
    const harness::Outcome faulted = dir.run(call);
    switch (c.answer) {
      case Answer::none: EXPECT_TRUE(faulted.out.empty()) << "the request ran to its answer"; break;
      case Answer::picture: EXPECT_EQ(harness::image_mismatch(faulted.out, 42, 0), ""); break;
      case Answer::cannot_open:
        EXPECT_EQ(faulted.out, "Cannot open \"" + dir.seen_by_program() + file + "\".<BR>\n");
        break;
    }
    EXPECT_EQ(as_read(dir.read("hits.ini")), c.counter_read);
    const std::string log = as_read(dir.read("lctlog.txt"));
    EXPECT_TRUE(log == old_log || whole_entries(log)) << log.substr(0, 200);
    EXPECT_TRUE(file != "lctlog.txt" || c.answer != Answer::cannot_open || log == old_log) << "a failed read rewrote the log";
    EXPECT_TRUE(c.answer != Answer::picture || count_entries(log) == 300) << "old entries lost";
    const std::string waiting = c.waits ? calls_while_waiting(dir.read("trace")) : "";
    EXPECT_TRUE(!c.waits || (waiting.find("(INJECTED)") != std::string::npos && waiting.find("lctlog.txt") == std::string::npos &&
                             waiting.find("hits.ini") == std::string::npos)) << waiting;
    // The next request finds everything in order.
    call.wrapper.clear();
    const harness::Outcome next = dir.run(call);
    EXPECT_EQ(next.out.compare(0, 25, harness::kImageHeader), 0);
    EXPECT_TRUE(whole_entries(dir.read("lctlog.txt")));
  }
}

// Where no new file can be made, the rewrite in place still never leaves a
// wrong count or a headless log: a count wrapping from nine digits to one and
// a full log shrinking under every request are the hard cases.
TEST(Races, KilledInPlaceRewritesLeaveValidFiles) {
  if (harness::under_launcher() || geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
  const harness::InstallDir dir;
  constexpr long kFirst = 999999950;
  dir.write("hits.ini", std::to_string(kFirst));
  dir.write("lctlog.txt", full_log());
  dir.give_to_nobody_read_only();
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delay_us(0, 1500);
  // Counted on from kFirst, so the wrap to 0 still goes up.
  long previous = 0;
  harness::Invocation call{"", {"hits"}, {"REMOTE_ADDR=192.0.2.9"}};
  call.as_nobody = true;
  for (int i = 0; i < kKilled; ++i) {
    const harness::Running run = dir.start(call);
    usleep(static_cast<useconds_t>(delay_us(random)));
    kill(run.pid, SIGKILL);
    harness::finish(run);
    const std::string counter = as_read(dir.read("hits.ini"));
    ASSERT_TRUE(harness::holds_count(counter)) << "after kill " << i << ": '" << counter << "'";
    const long steps = (std::stol(counter) - kFirst + 1000000000) % 1000000000;
    ASSERT_GE(steps, previous) << "after kill " << i << ": " << counter;
    previous = steps;
    ASSERT_EQ(as_read(dir.read("lctlog.txt")).compare(0, kHeader.size(), kHeader), 0) << "after kill " << i;
  }
  // Unkilled, the wrap leaves exactly the new count.
  dir.write("hits.ini", "999999999");
  const harness::Outcome outcome = dir.run(call);
  EXPECT_EQ(harness::image_mismatch(outcome.out, 0, 0), "");
  EXPECT_EQ(dir.read("hits.ini"), "0");
  EXPECT_TRUE(log_intact(dir.read("lctlog.txt")));
  EXPECT_FALSE(dir.exists("hits.ini.tmp"));
}

}  // namespace
