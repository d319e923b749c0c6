// Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr int kReopenAttempts = 64;
constexpr std::size_t kFactLineSize = 512;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens path for the access; falls back to what the file allows.
int open_for(const char* path, Access access, bool& readable, bool& writable) {
  const int create = access == Access::create ? O_CREAT : 0;
  readable = true;
  writable = access != Access::read;
  int fd = open(path, (writable ? O_RDWR : O_RDONLY) | create | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES && access == Access::update) {
    writable = false;
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } else if (fd < 0 && errno == EACCES && access == Access::create) {
    readable = false;
    fd = open(path, O_WRONLY | create | O_CLOEXEC, 0644);
  }
  return fd;
}

bool write_all(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

// Closes a descriptor when it goes out of scope.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void set_binary_stdout() {}

bool is_dir_separator(char c) { return c == '/' || c == '\\'; }

bool leaves_install_dir(const char* name) { return name[0] == '/'; }

LocalTime local_time_now() {
  const std::time_t now = std::time(nullptr);
  struct tm parts {};
  localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min};
}

LockedFile::~LockedFile() { close(); }

void LockedFile::close() {
  if (fd_ >= 0) ::close(fd_);  // also releases the flock
  fd_ = -1;
  readable_ = false;
  writable_ = false;
}

bool LockedFile::open(const char* path, Access access) {
  close();
  if (strnlen(path, sizeof path_) + sizeof kTempSuffix > sizeof path_) return false;
  std::strcpy(path_, path);
  // A writer replaces the file by rename: the lock must be on the file the
  // path still names, so lock, compare and retry.
  for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
    fd_ = open_for(path_, access, readable_, writable_);
    if (fd_ < 0) break;
    struct stat held {};
    struct stat named {};
    if (fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) break;
    if (access == Access::read || (flock(fd_, LOCK_EX) == 0 && stat(path_, &named) == 0 && same_file(held, named))) {
      return true;
    }
    close();
  }
  close();
  return false;
}

std::size_t LockedFile::read(char* buf, std::size_t cap) {
  if (fd_ < 0 || !readable_) return 0;
  ssize_t n = 0;
  do {
    n = ::read(fd_, buf, cap);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool LockedFile::replace(const char* data, std::size_t len) {
  if (fd_ < 0 || !writable_) return false;
  struct stat held {};
  struct stat link {};
  const bool plain = fstat(fd_, &held) == 0 && lstat(path_, &link) == 0 && !S_ISLNK(link.st_mode);
  // open() made sure the suffix fits.
  char temp[sizeof path_ + sizeof kTempSuffix];
  std::snprintf(temp, sizeof temp, "%s%s", path_, kTempSuffix);
  // Only the lock holder writes the temporary file, so its fixed name is safe.
  const FdGuard out{plain ? ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600) : -1};
  if (out.fd >= 0) {
    if (fchmod(out.fd, held.st_mode & 07777) == 0 && write_all(out.fd, data, len) && rename(temp, path_) == 0) {
      return true;
    }
    unlink(temp);
  }
  // No temporary file here (a directory we may not write, or a symlink to
  // keep): rewrite in place under the lock, new bytes first and the cut
  // last, so a killed process never leaves the file empty.
  return lseek(fd_, 0, SEEK_SET) == 0 && write_all(fd_, data, len) && ftruncate(fd_, static_cast<off_t>(len)) == 0;
}

namespace {

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
