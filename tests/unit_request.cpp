// Contracts of the request-side helpers that the end-to-end table cannot reach cheaply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request/request.h"

namespace {

TEST(InstallDir, FromArgumentZero) {
  struct {
    std::string argv0;
    std::string dir;
  } const cases[] = {
      {"C:\\web\\cgi\\lumicount.exe", "C:\\web\\cgi\\"},
      {"lumicount.exe", ""},
      {"D:lumicount.exe", "D:"},
      {"a:b:c", "a:"},
      {"D:\\x:y\\lumicount.exe", "D:\\x:y\\"},
      {"/usr/lib/cgi-bin/lumicount", "/usr/lib/cgi-bin/"},
      {"a\\b/c", "a\\b/"},
      {"a/b\\c", "a/b\\"},
      {"x:/y", "x:/"},
      {"", ""},
      {std::string(1022, 'a') + "/", std::string(1022, 'a') + "/"},
      {std::string(1023, 'a') + "/", ""},
  };
  for (const auto& c : cases) {
    char dir[kInstallDirSize];
    find_install_dir(c.argv0.c_str(), dir);
    EXPECT_EQ(dir, c.dir) << c.argv0.substr(0, 40);
  }
  char dir[kInstallDirSize] = "stale";
  find_install_dir(nullptr, dir);
  EXPECT_STREQ(dir, "");
}

TEST(JoinPath, BoundedAt255) {
  struct {
    std::size_t dir_length;
    bool fits;
  } const cases[] = {{0, true}, {241, true}, {245, true}, {246, false}, {1023, false}};
  for (const auto& c : cases) {
    char path[kPathSize];
    const std::string dir(c.dir_length, 'd');
    EXPECT_EQ(join_path(path, dir.c_str(), "lctlog.txt", ""), c.fits) << c.dir_length;
    EXPECT_EQ(std::string(path).size(), c.fits ? c.dir_length + 10 : 0u);
  }
}

TEST(CounterStore, NamesAndValues) {
  struct {
    std::string name;
    bool accepted;
  } const names[] = {
      {std::string(235, 'n'), true}, {std::string(236, 'n'), false}, {"a.b", false}, {"..", false},
      {".ini", false}, {"dir\\name", false}, {"dir/name", true}, {"/etc/x", false}, {"a:b", true}, {"%s", true},
  };
  for (const auto& c : names) EXPECT_EQ(validate_name(c.name.c_str()), c.accepted) << c.name.substr(0, 20);

  struct {
    const char* text;
    int stored;
    int next;
  } const values[] = {
      {"", 0, 1},          {"0", 0, 1},           {"41", 41, 42},
      {"41\n", 0, 1},      {"-5", 0, 1},          {" 7", 0, 1},
      {"7a", 0, 1},        {"999999998", 999999998, 999999999}, {"999999999", 999999999, 0},
      {"4294967297", 1, 2}, {"2147483648", -2147483647 - 1, 0},  {"00000000000000000042", 42, 43},
  };
  for (const auto& c : values) {
    EXPECT_EQ(parse_count(c.text), c.stored) << c.text;
    EXPECT_EQ(next_count(parse_count(c.text)), c.next) << c.text;
  }
}


TEST(QueryArguments, WordsAsApacheBuildsThem) {
  const std::string longest(platform::kMaxQueryLength, 'q');
  const std::string most_words(platform::kMaxQueryWords - 1, '+');
  std::string every_byte;
  for (int b = 1; b < 256; ++b) every_byte += static_cast<char>(b == '=' ? 'e' : b);
  std::string megabyte;
  while (megabyte.size() < (1u << 20)) megabyte += every_byte;
  const std::vector<std::string> none = {"<not built>"};
  struct {
    std::string query;
    std::vector<std::string> words;
  } const cases[] = {
      {"hits+1", {"hits", "1"}},
      {"hits", {"hits"}},
      {"a++b", {"a", "", "b"}},
      {"+", {"", ""}},
      {"hits+", {"hits", ""}},
      {"h%69ts+%31", {"hits", "1"}},
      {"%2b%2B%2f%5C%3c", {"++/\\<"}},
      {"%E4%c3%a9%7F%01", {"\xE4\xC3\xA9\x7F\x01"}},
      {"100%+%4+%4g+%%41+%", {"100%", "%4", "%4g", "%A", "%"}},
      {"ab%00cd+x", {"ab", "x"}},
      {"%00", {""}},
      {"a%20b\\+\"*;`$(x)", {"a b\\", "\"*;`$(x)"}},
      {"hits+a%3Db", {"hits", "a=b"}},
      {"hits+a=b", none},
      {"=", none},
      {"", none},
      {longest, {longest}},
      {longest + "q", none},
      {most_words, std::vector<std::string>(platform::kMaxQueryWords, "")},
      {most_words + "+", none},
      {megabyte, none},
  };
  char argv0[] = "/cgi-bin/lumicount";
  static platform::QueryArguments built;
  for (const auto& c : cases) {
    std::vector<std::string> words = none;
    if (platform::build_query_arguments(c.query.c_str(), argv0, built)) {
      words.clear();
      EXPECT_EQ(built.argv[0], argv0) << c.query.substr(0, 40);
      for (int i = 1; i < built.argc; ++i) words.emplace_back(built.argv[i]);
      EXPECT_EQ(built.argv[built.argc], nullptr) << c.query.substr(0, 40);
    }
    EXPECT_EQ(words, c.words) << c.query.substr(0, 40);
  }
  EXPECT_FALSE(platform::build_query_arguments(nullptr, argv0, built));
}

}  // namespace
