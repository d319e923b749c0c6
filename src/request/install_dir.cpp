#include <cstring>

#include "request/request.h"

void find_install_dir(const char* argv0, char (&out)[kInstallDirSize]) {
  out[0] = '\0';
  if (argv0 == nullptr) return;
  const std::size_t len = strnlen(argv0, kInstallDirSize);
  if (len >= kInstallDirSize) return;
  std::size_t end = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (platform::is_dir_separator(argv0[i])) end = i + 1;
  }
  if (end == 0) {
    // A drive letter alone, as in "D:lumicount.exe".
    const char* colon = static_cast<const char*>(std::memchr(argv0, ':', len));
    if (colon != nullptr) end = static_cast<std::size_t>(colon - argv0) + 1;
  }
  std::memcpy(out, argv0, end);
  out[end] = '\0';
}

bool join_path(char (&out)[kPathSize], const char* a, const char* b, const char* c) {
  const char* parts[] = {a, b, c};
  std::size_t n = 0;
  for (const char* part : parts) {
    const std::size_t len = strnlen(part, kPathSize);
    if (n + len >= kPathSize) {
      out[0] = '\0';
      return false;
    }
    std::memcpy(out + n, part, len);
    n += len;
  }
  out[n] = '\0';
  return true;
}
