// Linux and other POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/in_place.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr std::size_t kFactLineSize = 512;

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int open_retrying(const char* path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool lock_exclusive(int fd) {
  int result = -1;
  do {
    result = flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Opens path for the access; falls back to what the file allows.
int open_for(const char* path, Access access, bool& readable, bool& writable) {
  const int create = access == Access::create ? O_CREAT : 0;
  readable = true;
  writable = access != Access::read;
  int fd = open_retrying(path, (writable ? O_RDWR : O_RDONLY) | create);
  if (fd < 0 && access == Access::update && errno != ENOENT) {
    // Read-only for any reason (rights, a read-only or immutable file): shown, not stored.
    writable = false;
    fd = open_retrying(path, O_RDONLY);
  } else if (fd < 0 && access == Access::create && errno == EACCES) {
    readable = false;
    fd = open_retrying(path, O_WRONLY | create);
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

// The new file's data must be on disk before its rename can be: a journal
// that commits the rename first leaves an empty or zero-filled file after a
// power cut, and the count reads as 0. Waiting for the data write is enough on
// ext4 and XFS, which journal the file's new size or extents when the write
// completes, ahead of the rename; it spares the journal commit of fdatasync.
void wait_for_data_on_disk(int fd) {
#ifdef __linux__
  constexpr unsigned kWriteAndWait =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (sync_file_range(fd, 0, 0, kWriteAndWait) == 0) return;
#endif
  fdatasync(fd);
}

// Closes a descriptor when it goes out of scope.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
};

// Writes the new content beside the file, with its rights, and renames it over
// the old one, so the path always names a whole old or whole new file. False,
// with the old file as it was, where no new file can be made or path is a link.
bool replace_by_rename(int held, const char* path, const char* temp, const char* data, std::size_t len) {
  struct stat rights {};
  struct stat link {};
  if (fstat(held, &rights) != 0 || lstat(path, &link) != 0 || S_ISLNK(link.st_mode)) return false;
  // Only the holder of the run lock writes the temporary file, so its fixed name is safe.
  const FdGuard out{open_retrying(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW)};
  if (out.fd < 0) return false;
  if (fchmod(out.fd, rights.st_mode & 07777) == 0 && write_all(out.fd, data, len)) {
    wait_for_data_on_disk(out.fd);
    if (rename(temp, path) == 0) return true;
  }
  unlink(temp);
  return false;
}

}  // namespace

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

bool RunLock::acquire(const char* lock_path) {
  release();
  fd_ = open_retrying(lock_path, O_RDWR | O_CREAT);
  // A lock file another account made: a read-only descriptor locks it as well.
  if (fd_ < 0 && errno == EACCES) fd_ = open_retrying(lock_path, O_RDONLY);
  if (fd_ >= 0 && lock_exclusive(fd_)) return true;
  release();
  return false;
}

void RunLock::release() {
  if (fd_ >= 0) ::close(fd_);  // also releases the flock
  fd_ = -1;
}

LockedFile::~LockedFile() { close(); }

void LockedFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  readable_ = false;
  writable_ = false;
  in_place_ = false;
}

bool LockedFile::open(const char* path, Access access, bool run_locked) {
  close();
  if (strnlen(path, sizeof path_) + sizeof kTempSuffix > sizeof path_) return false;
  std::strcpy(path_, path);
  // Without the run lock a writer locks the file itself. Nothing then replaces
  // it, so the re-check below fails only when an administrator swapped the
  // file meanwhile, and the loop takes the new one: no cap, no give-up.
  for (;;) {
    fd_ = open_for(path_, access, readable_, writable_);
    struct stat held {};
    if (fd_ < 0 || fstat(fd_, &held) != 0 || !S_ISREG(held.st_mode)) break;
    in_place_ = access != Access::read && !run_locked;
    if (!in_place_) return true;
    struct stat named {};
    // Where locks are not supported the run goes on unlocked rather than fail.
    if (!lock_exclusive(fd_) || (stat(path_, &named) == 0 && same_file(held, named))) return true;
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

bool LockedFile::replace(const char* data, std::size_t len, std::size_t pad_to) {
  if (fd_ < 0 || !writable_) return false;
  // open() made sure the suffix fits.
  char temp[sizeof path_ + sizeof kTempSuffix];
  std::snprintf(temp, sizeof temp, "%s%s", path_, kTempSuffix);
  if (!in_place_ && replace_by_rename(fd_, path_, temp, data, len)) return true;
  // No new file here (a directory we may not write, or a symlink to keep).
  return rewrite_in_place(data, len, pad_to);
}

bool LockedFile::rewrite_in_place(const char* data, std::size_t len, std::size_t pad_to) {
  struct stat held {};
  if (fstat(fd_, &held) != 0) return false;
  const int fd = fd_;
  const auto write_at_start = [fd](const char* bytes, std::size_t n) {
    return lseek(fd, 0, SEEK_SET) == 0 && write_all(fd, bytes, n);
  };
  const auto cut = [fd](std::size_t n) { return ftruncate(fd, static_cast<off_t>(n)) == 0; };
  return platform::rewrite_in_place(static_cast<std::size_t>(held.st_size), data, len, pad_to, write_at_start, cut);
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
