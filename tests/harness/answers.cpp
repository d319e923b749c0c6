#include "harness/answers.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>  // the facts under Wine
#include <sstream>
#include <vector>

#include "harness/harness.h"

#ifndef LUMICOUNT_DATA_DIR
#error "LUMICOUNT_DATA_DIR names the artwork the program is built from"
#endif

namespace harness {

const char kImageHeader[] = "Content-type: image/gif\n\n";
const char kHtmlHeader[] = "Content-type: text/html\n\n";
const char kVersionLine[] = "\"lumicount.exe\" version 2.1\n";
const char kCreditLine[] = "lumicount is made by the lumicount project.";

namespace {

constexpr int kStyles = 4;
constexpr int kGlyphCells = 18 * 18;
constexpr int kStyleCells = 10 * kGlyphCells;

// The artwork as data/ gives it, read here rather than taken from the build,
// so that turning data/ into tables is under test too.
struct Artwork {
  std::string error;  // the first malformed line, if any
  std::vector<Colour> palette[kStyles];
  std::vector<int> codes[kStyles];  // digit after digit, row after row
};

// The lines of a data file that carry content: blank lines and "#" comments dropped.
std::vector<std::string> content_lines(const std::string& name) {
  std::ifstream in(std::string(LUMICOUNT_DATA_DIR) + "/" + name);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start != std::string::npos && line[start] != '#') lines.push_back(line.substr(start));
  }
  return lines;
}

// A glyph cell: "." or a whole number 1 to 255; -1 for anything else.
int code_of(const std::string& token) {
  if (token == ".") return 0;
  char* end = nullptr;
  const long value = std::strtol(token.c_str(), &end, 10);
  return *end == '\0' && value >= 1 && value <= 255 ? static_cast<int>(value) : -1;
}

std::string read_style(int style, Artwork& art) {
  const std::string glyphs = "style" + std::to_string(style) + "_glyphs.txt";
  for (const std::string& line : content_lines(glyphs)) {
    if (line.rfind("digit ", 0) == 0) {
      if (line != "digit " + std::to_string(art.codes[style].size() / kGlyphCells)) return glyphs + ": " + line;
      continue;
    }
    std::istringstream cells(line);
    std::string token;
    int count = 0;
    for (; cells >> token && code_of(token) >= 0; ++count) art.codes[style].push_back(code_of(token));
    if (count != 18 || cells) return glyphs + ": " + line;
  }
  if (art.codes[style].size() != kStyleCells) return glyphs + ": not 10 digits of 18 x 18";
  const std::string palette = "style" + std::to_string(style) + "_palette.txt";
  for (const std::string& line : content_lines(palette)) {
    std::istringstream parts(line);
    Colour rgb{-1, -1, -1};
    std::string rest;
    parts >> rgb.red >> rgb.green >> rgb.blue;
    const auto byte = [](int v) { return v >= 0 && v <= 255; };
    if (!byte(rgb.red) || !byte(rgb.green) || !byte(rgb.blue) || parts >> rest) return palette + ": " + line;
    art.palette[style].push_back(rgb);
  }
  return art.palette[style].empty() ? palette + ": empty" : "";
}

const Artwork& artwork() {
  static const Artwork art = [] {
    Artwork read;
    for (int style = 0; style < kStyles && read.error.empty(); ++style) read.error = read_style(style, read);
    return read;
  }();
  return art;
}

std::string assignment(const char* path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "";
}

std::string page_head() {
  return std::string(kHtmlHeader) + "<HTML><BODY>\n<FONT SIZE=+2>\"lumicount.exe\"</FONT> version 2.1<BR><BR>\n" +
         "lumicount is made by the lumicount project:\n" +
         "<A HREF=\"https://lumicount.invalid/\">lumicount.invalid</A><BR>\n" +
         "<BR><BR><HR><STRONG>server computer information</STRONG><BR>\n";
}

std::string native_facts() {
  utsname names{};
  uname(&names);
  std::string os = assignment("/etc/os-release", "PRETTY_NAME");
  if (os.empty()) os = assignment("/usr/lib/os-release", "PRETTY_NAME");
  return "OS: " + os + "<BR>\nversion: " + names.release + "<BR>\ntype: " + names.sysname + " " + names.machine +
         "<BR>\nowner: " + assignment("/etc/machine-info", "REGISTERED_OWNER") +
         "<BR>\norganization: " + assignment("/etc/machine-info", "REGISTERED_ORGANIZATION") + "<BR>\n";
}

}  // namespace

std::string html_warning(const std::string& shown_name) {
  return std::string(kHtmlHeader) + "<HTML><BODY>\n<FONT SIZE=+1>Warning: parameter \"" + shown_name +
         "\".<BR>What do you mean by that?</FONT>\n</BODY></HTML>\n";
}

std::string console_warning(const std::string& name) {
  return std::string(kVersionLine) + kCreditLine + "\n\nWarning: parameter \"" + name + "\"\n";
}

std::string console_banner() { return std::string(kVersionLine) + kCreditLine + "\n"; }

std::string information_page() {
  // Under Wine the facts come from the prefix's registry: any text will do here.
  const std::string facts = under_launcher() ? "{facts}" : native_facts();
  return page_head() + facts + "</BODY></HTML>\n";
}

bool holds_count(const std::string& bytes) {
  return !bytes.empty() && bytes.size() <= 9 && bytes.find_first_not_of("0123456789") == std::string::npos;
}

std::string image_mismatch(const std::string& out, int count, int style) {
  const std::string header = kImageHeader;
  if (out.compare(0, header.size(), header) != 0) return "no image header in: " + out.substr(0, 80);
  const Picture picture = decode_gif(out.substr(header.size()));
  if (!picture.ok) return "GIF does not decode";
  const std::string text = std::to_string(count);
  const int n = static_cast<int>(text.size());
  if (picture.width != 14 * n + 4 || picture.height != 18) return "wrong canvas size";
  const Artwork& art = artwork();
  if (!art.error.empty()) return "data/" + art.error;
  const std::vector<Colour>& palette = art.palette[style];
  if (picture.palette.size() < palette.size()) return "palette too small";
  for (std::size_t k = 0; k < palette.size(); ++k) {
    if (!(picture.palette[k] == palette[k])) return "palette entry " + std::to_string(k) + " differs";
  }
  // Only style 3 shows its background.
  if (picture.transparent != (style == 3 ? -1 : 0)) return "wrong transparent colour";
  // Compose the expected picture right to left: the left glyph wins.
  std::vector<int> expected(static_cast<std::size_t>(picture.width * 18), 0);
  for (int place = n - 1; place >= 0; --place) {
    const int digit = text[static_cast<std::size_t>(place)] - '0';
    const int* cells = art.codes[style].data() + kGlyphCells * digit;
    for (int y = 0; y < 18; ++y) {
      for (int c = 0; c < 18; ++c) {
        const int code = cells[18 * y + c];
        if (code != 0) expected[static_cast<std::size_t>(y * picture.width + 14 * place + c)] = code;
      }
    }
  }
  if (picture.pixels != expected) return "pixels differ from the glyphs composed right to left";
  return "";
}

}  // namespace harness

namespace harness {

bool text_matches(const std::string& expected, const std::string& actual) {
  const std::size_t at = expected.find("{facts}");
  if (at == std::string::npos) return expected == actual;
  static const std::regex facts(
      "OS: [^\n]*<BR>\nversion: [^\n]*<BR>\ntype: [^\n]*<BR>\nowner: [^\n]*<BR>\norganization: [^\n]*<BR>\n");
  const std::string tail = expected.substr(at + 7);
  if (actual.size() < at + tail.size()) return false;
  return actual.compare(0, at, expected, 0, at) == 0 &&
         actual.compare(actual.size() - tail.size(), tail.size(), tail) == 0 &&
         std::regex_match(actual.substr(at, actual.size() - at - tail.size()), facts);
}

}  // namespace harness
