// Linux and other POSIX systems: how the program was started, names, time and
// the server facts. Files are in posix_files.cpp, turns in posix_turn.cpp.
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace platform {

void set_binary_stdout() {}

// A CGI program's standard input is a pipe, a file or a connected socket; only
// a server that listens on the program's behalf hands it an unconnected one.
bool started_by_fastcgi() {
  struct sockaddr_storage peer {};
  socklen_t len = sizeof peer;
  if (getpeername(STDIN_FILENO, reinterpret_cast<struct sockaddr*>(&peer), &len) == 0 || errno != ENOTCONN) {
    return false;
  }
  int listening = 0;
  socklen_t size = sizeof listening;
  return getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

bool is_dir_separator(char c) { return c == '/' || c == '\\'; }

bool leaves_install_dir(const char* name) { return name[0] == '/'; }

LocalTime local_time_now() {
  const std::time_t now = std::time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min};
}

namespace {

constexpr std::size_t kFactLineSize = 512;

// One "KEY=value" line of an os-release style file, quotes removed.
bool read_assignment(const char* path, const char* key, char* out, std::size_t cap) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  const std::size_t key_len = std::strlen(key);
  char line[kFactLineSize];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, key_len) != 0 || line[key_len] != '=') continue;
    const char* value = line + key_len + 1;
    std::size_t len = std::strcspn(value, "\r\n");
    if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
      ++value;
      len -= 2;
    }
    std::snprintf(out, cap, "%.*s", static_cast<int>(len), value);
    found = true;
  }
  std::fclose(file);
  return found;
}

struct FactSource {
  const char* value_name;
  const char* file;      // nullptr: from the kernel
  const char* fallback;  // a second file, or nullptr
  const char* key;
};
constexpr FactSource kFactSources[] = {
    {"ProductName", "/etc/os-release", "/usr/lib/os-release", "PRETTY_NAME"},
    {"VersionNumber", nullptr, nullptr, "release"},
    {"ProductType", nullptr, nullptr, "type"},
    {"RegisteredOwner", "/etc/machine-info", nullptr, "REGISTERED_OWNER"},
    {"RegisteredOrganization", "/etc/machine-info", nullptr, "REGISTERED_ORGANIZATION"},
};
static_assert(sizeof kFactSources / sizeof kFactSources[0] == 5, "one source per fact");

void read_kernel_fact(const char* key, char* out, std::size_t cap) {
  struct utsname names {};
  if (uname(&names) != 0) return;
  if (std::strcmp(key, "release") == 0) {
    std::snprintf(out, cap, "%s", names.release);
  } else {
    std::snprintf(out, cap, "%s %s", names.sysname, names.machine);
  }
}

}  // namespace

VersionKey::VersionKey() = default;
VersionKey::~VersionKey() = default;

void VersionKey::read_version_value(const char* name, char* out, std::size_t cap) const {
  if (cap == 0) return;
  out[0] = '\0';
  for (const FactSource& source : kFactSources) {
    if (std::strcmp(source.value_name, name) != 0) continue;
    if (source.file == nullptr) {
      read_kernel_fact(source.key, out, cap);
    } else if (!read_assignment(source.file, source.key, out, cap) && source.fallback != nullptr) {
      read_assignment(source.fallback, source.key, out, cap);
    }
  }
}

}  // namespace platform
