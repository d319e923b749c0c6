// Replays generated runs with arguments, environment and files of any bytes:
// every run exits 0 with one of the program's answers and valid files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "harness/answers.h"
#include "harness/harness.h"

namespace {

constexpr int kRuns = 400;
constexpr unsigned kSeed = 0x1c0de;

const char* const kAnswerStarts[] = {"Content-type: image/gif\n\nGIF8", "Content-type: text/html\n\n<HTML><BODY>\n",
                                     "\"lumicount.exe\" version 2.1\n", "Cannot open \""};

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  // Short texts mostly, now and then beyond every buffer; any byte but zero.
  std::string text() {
    static const int kLengths[] = {0, 1, 3, 9, 10, 200, 235, 236, 300, 1100, 70000};
    const int length = kLengths[below(static_cast<int>(sizeof kLengths / sizeof kLengths[0]))];
    static const char kAlphabet[] = "0123456789hits./\\:%<>&\"' \r\n\x1a\x7f\x01\xff";
    std::string s;
    for (int i = 0; i < length; ++i) {
      s += below(3) == 0 ? static_cast<char>(1 + below(255)) : kAlphabet[below(sizeof kAlphabet - 1)];
    }
    return s;
  }

 private:
  std::mt19937 random_;
};

bool known_answer(const std::string& out) {
  if (out.empty()) return true;
  for (const char* start : kAnswerStarts) {
    if (out.compare(0, std::string(start).size(), start) == 0) return true;
  }
  return false;
}

TEST(Fuzz, AnyInputGivesAnAnswer) {
  if (harness::under_launcher()) GTEST_SKIP() << "native replay only";
  Generator gen(kSeed);
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    const harness::InstallDir dir;
    harness::Invocation call;
    const int argc = gen.below(5);
    for (int a = 0; a < argc; ++a) call.args.push_back(a == 0 && gen.below(2) == 0 ? "hits" : gen.text());
    for (const char* name : {"REMOTE_HOST=", "REMOTE_ADDR=", "HTTP_USER_AGENT="}) {
      if (gen.below(2) == 0) call.env.push_back(name + gen.text());
    }
    if (gen.below(4) != 0) dir.write("hits.ini", gen.text());
    if (gen.below(2) == 0) dir.write("lctlog.txt", gen.text());
    const harness::Outcome outcome = dir.run(call);
    ASSERT_TRUE(outcome.exited);
    ASSERT_EQ(outcome.status, 0);
    EXPECT_TRUE(known_answer(outcome.out)) << outcome.out.substr(0, 60);
    bool web = false;
    for (const std::string& var : call.env) web = web || var.rfind("REMOTE_", 0) == 0;
    const bool picture = outcome.out.compare(0, 25, harness::kImageHeader) == 0;
    if (web && picture) {
      EXPECT_TRUE(harness::holds_count(dir.read("hits.ini")));
    }
    if (web && dir.exists("lctlog.txt")) {
      EXPECT_LE(dir.read("lctlog.txt").size(), 49994u + 302u);
    }
  }
}

}  // namespace
