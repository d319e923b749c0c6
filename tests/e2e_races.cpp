// Overlapping and killed web requests lose nothing and corrupt nothing.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

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
  std::vector<harness::Running> running;
  for (int i = 0; i < kOverlapping; ++i) {
    running.push_back(dir.start({"", {"hits", "1"}, {"REMOTE_ADDR=192.0.2." + std::to_string(i)}}));
  }
  int pictures = 0;
  for (const harness::Running& run : running) {
    const harness::Outcome outcome = harness::finish(run);
    pictures += outcome.exited && outcome.out.compare(0, 25, harness::kImageHeader) == 0 ? 1 : 0;
  }
  EXPECT_EQ(pictures, kOverlapping);
  EXPECT_EQ(dir.read("hits.ini"), std::to_string(1000 + kOverlapping));
  const std::string log = dir.read("lctlog.txt");
  EXPECT_TRUE(log_intact(log));
  EXPECT_EQ(count_entries(log), kOverlapping);
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

// Where no temporary file can be made, the in-place rewrite still never
// leaves an empty counter or a headless log.
TEST(Races, KilledInPlaceRewritesLeaveValidFiles) {
  if (harness::under_launcher() || geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
  const harness::InstallDir dir;
  dir.write("hits.ini", "500");
  dir.write("lctlog.txt", kHeader);
  dir.give_to_nobody_read_only();
  std::mt19937 random(7);
  std::uniform_int_distribution<int> delay_us(0, 1500);
  long previous = 500;
  for (int i = 0; i < kKilled; ++i) {
    harness::Invocation call{"", {"hits"}, {"REMOTE_ADDR=192.0.2.9"}};
    call.as_nobody = true;
    const harness::Running run = dir.start(call);
    usleep(static_cast<useconds_t>(delay_us(random)));
    kill(run.pid, SIGKILL);
    harness::finish(run);
    const std::string counter = dir.read("hits.ini");
    ASSERT_TRUE(harness::holds_count(counter)) << "after kill " << i << ": '" << counter << "'";
    ASSERT_GE(std::stol(counter), previous) << "after kill " << i;
    previous = std::stol(counter);
    ASSERT_EQ(dir.read("lctlog.txt").compare(0, kHeader.size(), kHeader), 0) << "after kill " << i;
  }
  harness::Invocation call{"", {"hits"}, {"REMOTE_ADDR=192.0.2.9"}};
  call.as_nobody = true;
  const harness::Outcome outcome = dir.run(call);
  EXPECT_EQ(harness::image_mismatch(outcome.out, static_cast<int>(previous) + 1, 0), "");
  EXPECT_EQ(dir.read("hits.ini"), std::to_string(previous + 1));
  EXPECT_FALSE(dir.exists("hits.ini.tmp"));
}

}  // namespace
