#include "harness/answers.h"

#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <regex>  // the facts under Wine

#include "harness/harness.h"
#include "image/image.h"

namespace harness {

const char kImageHeader[] = "Content-type: image/gif\n\n";
const char kHtmlHeader[] = "Content-type: text/html\n\n";
const char kVersionLine[] = "\"lumicount.exe\" version 2.1\n";
const char kCreditLine[] = "lumicount is made by the lumicount project.";

namespace {


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
  const image::StylePalette& palette = image::style_palettes[style];
  if (static_cast<int>(picture.palette.size()) < palette.size) return "palette too small";
  for (int k = 0; k < palette.size; ++k) {
    const image::Rgb& rgb = palette.entries[k];
    if (!(picture.palette[static_cast<std::size_t>(k)] == Colour{rgb.red, rgb.green, rgb.blue})) {
      return "palette entry " + std::to_string(k) + " differs";
    }
  }
  if (picture.transparent != (palette.transparent ? 0 : -1)) return "wrong transparent colour";
  // Compose the expected picture right to left: the left glyph wins.
  std::vector<int> expected(static_cast<std::size_t>(picture.width * 18), 0);
  for (int place = n - 1; place >= 0; --place) {
    const int digit = text[static_cast<std::size_t>(place)] - '0';
    const unsigned char* cells = image::glyph_set + image::kStyleBlock * style + image::kGlyphCells * digit;
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
