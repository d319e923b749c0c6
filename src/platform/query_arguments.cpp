// The command line of an indexed query, for web servers that do not build it.
#include "platform/platform.h"

namespace platform {

namespace {

// The value of one hex digit of either case, or -1.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Stops counting one byte past the bound, so a huge query is never walked whole.
std::size_t bounded_length(const char* text) {
  std::size_t n = 0;
  while (n <= kMaxQueryLength && text[n] != '\0') ++n;
  return n;
}

// True when the query has room for its words and holds no "=".
bool fits_as_words(const char* query, std::size_t length) {
  int words = 1;
  for (std::size_t i = 0; i < length; ++i) {
    if (query[i] == '=') return false;
    if (query[i] == '+') ++words;
  }
  return words <= kMaxQueryWords;
}

}  // namespace

bool build_query_arguments(const char* query, char* argv0, QueryArguments& out) {
  out.argc = 0;
  out.argv[0] = nullptr;
  if (query == nullptr) return false;
  const std::size_t length = bounded_length(query);
  if (length == 0 || length > kMaxQueryLength || !fits_as_words(query, length)) return false;

  // Decoding never lengthens a word, and each "+" becomes one zero byte.
  std::size_t at = 0;
  out.argv[out.argc++] = argv0;
  out.argv[out.argc++] = out.words;
  for (std::size_t i = 0; i < length && at < sizeof out.words - 1; ++i) {
    char c = query[i];
    if (c == '+') {
      out.words[at++] = '\0';
      out.argv[out.argc++] = out.words + at;
      continue;
    }
    const int high = c == '%' ? hex_digit(query[i + 1]) : -1;
    const int low = high >= 0 ? hex_digit(query[i + 2]) : -1;
    if (low >= 0) {
      // A decoded zero byte ends its word; the rest of the word is never read.
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    out.words[at++] = c;
  }
  out.words[at] = '\0';
  out.argv[out.argc] = nullptr;
  return true;
}

}  // namespace platform
