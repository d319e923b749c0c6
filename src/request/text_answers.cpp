#include <cstdio>

#include "request/request.h"

namespace {

constexpr char kHtmlHeader[] = "Content-type: text/html\n\n";
constexpr char kVersionLine[] = "\"lumicount.exe\" version 2.1\n";
constexpr char kTitleLine[] = "<FONT SIZE=+2>\"lumicount.exe\"</FONT> version 2.1<BR><BR>\n";
constexpr char kCreditLine[] = "lumicount is made by the lumicount project.";
constexpr char kCreditHtml[] =
    "lumicount is made by the lumicount project:\n"
    "<A HREF=\"https://lumicount.invalid/\">lumicount.invalid</A><BR>\n";
constexpr std::size_t kFactSize = 1024;

struct ServerFact {
  const char* value_name;
  const char* line_format;
};
constexpr ServerFact kServerFacts[] = {
    {"ProductName", "OS: %s<BR>\n"},
    {"VersionNumber", "version: %s<BR>\n"},
    {"ProductType", "type: %s<BR>\n"},
    {"RegisteredOwner", "owner: %s<BR>\n"},
    {"RegisteredOrganization", "organization: %s<BR>\n"},
};
static_assert(sizeof kServerFacts / sizeof kServerFacts[0] == 5, "the page shows five facts");

// The name comes from the visitor's address: it must never become markup.
void put_html_escaped(const char* s) {
  for (; *s != '\0'; ++s) {
    switch (*s) {
      case '&': std::fputs("&amp;", stdout); break;
      case '<': std::fputs("&lt;", stdout); break;
      case '>': std::fputs("&gt;", stdout); break;
      case '"': std::fputs("&quot;", stdout); break;
      case '\'': std::fputs("&#39;", stdout); break;
      default: std::putchar(*s); break;
    }
  }
}

}  // namespace

void write_cannot_open(const char* path) { std::printf("Cannot open \"%s\".<BR>\n", path); }

void write_parameter_warning(const char* name, bool web_request) {
  if (web_request) {
    std::fputs(kHtmlHeader, stdout);
    std::fputs("<HTML><BODY>\n<FONT SIZE=+1>Warning: parameter \"", stdout);
    put_html_escaped(name);
    std::fputs("\".<BR>What do you mean by that?</FONT>\n</BODY></HTML>\n", stdout);
  } else {
    std::printf("%s%s\n\nWarning: parameter \"%s\"\n", kVersionLine, kCreditLine, name);
  }
}

void write_information_page() {
  const platform::VersionKey key;
  std::printf("%s<HTML><BODY>\n%s%s", kHtmlHeader, kTitleLine, kCreditHtml);
  std::fputs("<BR><BR><HR><STRONG>server computer information</STRONG><BR>\n", stdout);
  for (const ServerFact& fact : kServerFacts) {
    char value[kFactSize];
    key.read_version_value(fact.value_name, value, sizeof value);
    std::printf(fact.line_format, value);
  }
  std::fputs("</BODY></HTML>\n", stdout);
}

void write_console_banner() {
  std::printf("%s%s\n", kVersionLine, kCreditLine);
}
