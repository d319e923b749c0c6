#include <charconv>
#include <cstdint>
#include <cstring>

#include "request/request.h"
#include "request/text_file.h"

namespace {

constexpr std::size_t kCounterLineChars = kPathSize - 1;

}  // namespace

bool validate_name(const char* name) {
  if (strnlen(name, kMaxNameLength + 1) > kMaxNameLength) return false;
  if (std::strchr(name, '.') != nullptr) return false;
  if (std::strchr(name, '\\') != nullptr) return false;
  return !platform::leaves_install_dir(name);
}

int parse_count(const char* text) {
  // Unsigned arithmetic gives the 32-bit wrap without undefined behaviour.
  std::uint32_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10u + static_cast<std::uint32_t>(*p - '0');
  }
  return static_cast<std::int32_t>(value);
}

int next_count(int stored) {
  return (stored < 0 || stored >= kMaxCount) ? 0 : stored + 1;
}

CounterOpen open_counter(Counter& counter, const RunContext& run) {
  const platform::Access access = run.stores ? platform::Access::update : platform::Access::read;
  switch (counter.file.open(counter.path, access, run.locked)) {
    case platform::FileOpen::ok: return CounterOpen::opened;
    case platform::FileOpen::absent: return CounterOpen::missing;
    case platform::FileOpen::failed: break;
  }
  return CounterOpen::failed;
}

bool read_counter(platform::LockedFile& file, int& stored) {
  char line[kCounterLineChars + 1];
  TextReader reader(file);
  reader.read_line(line, kCounterLineChars);
  // A read that failed is no count: the file is never rewritten from it.
  if (reader.failed()) return false;
  stored = parse_count(line);
  return true;
}

bool store_counter(platform::LockedFile& file, int count) {
  char text[16];
  // The digits "%d" writes, without printf's format work on every hit.
  const std::size_t len = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, count).ptr - text);
  // Digits need no text-mode translation.
  return file.replace(text, len, kCounterLineChars);
}
