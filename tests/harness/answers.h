// The answers the program gives, written out independently of its sources.
#pragma once

#include <string>

#include "harness/gif_decode.h"

namespace harness {

extern const char kImageHeader[];
extern const char kHtmlHeader[];
extern const char kVersionLine[];
extern const char kCreditLine[];

std::string html_warning(const std::string& shown_name);
std::string console_warning(const std::string& name);
std::string console_banner();
// The five fact lines as this machine's sources give them.
std::string information_page();
// Exact comparison; "{facts}" in expected stands for any five fact lines.
bool text_matches(const std::string& expected, const std::string& actual);
// Empty when out is the image of count in style as the artwork in data/ draws it, else what differs.
std::string image_mismatch(const std::string& out, int count, int style);
// A valid counter file: digits only, at most nine.
bool holds_count(const std::string& bytes);

}  // namespace harness
