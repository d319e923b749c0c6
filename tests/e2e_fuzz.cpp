// Replays generated runs with arguments, environment and files of any bytes:
// every run exits 0 with the answer its input calls for and valid files.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "harness/answers.h"
#include "harness/harness.h"

namespace {

constexpr int kRuns = 400;
constexpr unsigned kSeed = 0x1c0de;

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

// The answer the run must begin with; empty where it must give none: a
// refused name, or a counter path beyond 255 characters.
std::string expected_start(const std::vector<std::string>& args, bool web, bool counter, std::size_t dir_length) {
  const bool names_counter = (args.size() == 1 || (args.size() == 2 && !args[1].empty())) && !args[0].empty();
  if (!names_counter) return web ? harness::information_page() : harness::console_banner();
  const std::string& name = args[0];
  // Here an absolute name is refused too: it would leave the install directory.
  const bool refused = name.size() > 235 || name.find_first_of(".\\") != std::string::npos || name[0] == '/';
  if (refused || dir_length + name.size() + 4 > 255) return "";
  if (name == "hits" && counter) return std::string(harness::kImageHeader) + "GIF8";
  // The web warning up to where the name goes.
  const std::string page = harness::html_warning("");
  return web ? page.substr(0, page.find("\"\"") + 1) : harness::console_warning(name);
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
    const bool counter = gen.below(4) != 0;
    if (counter) dir.write("hits.ini", gen.text());
    if (gen.below(2) == 0) dir.write("lctlog.txt", gen.text());
    const harness::Outcome outcome = dir.run(call);
    ASSERT_TRUE(outcome.exited);
    ASSERT_EQ(outcome.status, 0);
    bool web = false;
    for (const std::string& var : call.env) web = web || var.rfind("REMOTE_", 0) == 0;
    const std::string start = expected_start(call.args, web, counter, dir.seen_by_program().size());
    EXPECT_EQ(outcome.out.substr(0, start.empty() ? std::string::npos : start.size()), start);
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
