// Opening, creating and writing files by name on POSIX systems.
#include "platform/posix_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace platform::posix {

namespace {

// Room for the directory part of any path the program opens.
constexpr std::size_t kDirSize = 512;
// New files as the program always made them; a replacing file takes the old one's mode.
constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kGroupWritable = 0664;

// The turn's directory: its handle and the path prefix it stands for.
struct TurnDirectory {
  int fd = -1;
  char prefix[kDirSize] = "";
  std::size_t len = 0;
};
TurnDirectory turn_directory;

Opened classify(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return Opened::missing;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return Opened::denied;
    case ELOOP:
      return Opened::link;
    case ENXIO:  // a FIFO without a reader, a socket
    case EISDIR:
    case ENODEV:
      return Opened::special;
    default:
      return Opened::failed;
  }
}

// fd is open: keep it only when it is a regular file.
Opened check_regular(int& fd, struct stat& st, int& err) {
  err = fstat(fd, &st) == 0 ? 0 : errno;
  if (err == 0 && S_ISREG(st.st_mode)) return Opened::file;
  ::close(fd);
  fd = -1;
  return err == 0 ? Opened::special : classify(err);
}

// The directory part of path, "." for a bare name; false where it does not fit.
bool directory_of(const char* path, char (&dir)[kDirSize]) {
  const char* slash = std::strrchr(path, '/');
  const std::size_t len = slash != nullptr ? static_cast<std::size_t>(slash - path) + 1 : 0;
  if (len >= sizeof dir) return false;
  std::memcpy(dir, len > 0 ? path : ".", len > 0 ? len : 1);
  dir[len > 0 ? len : 1] = '\0';
  return true;
}

// Links followed in a row from one name of a directory to another, each checked.
constexpr int kSiblingLinks = 8;

int open_at(int dir, const char* name, int flags, mode_t mode) {
  int fd = -1;
  do {
    fd = ::openat(dir, name, flags | O_CLOEXEC | O_NONBLOCK, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The kernel's rule for links in shared directories, applied in every one: a
// link is followed for the account that made it and for the directory's owner
// only, so a root run never writes where the server's account pointed it.
bool may_follow(const struct stat& link, const struct stat& dir) {
  return link.st_uid == geteuid() || link.st_uid == dir.st_uid;
}

// name in dir was a symbolic link: what it names, opened where may_follow
// allows; else -1 with ELOOP, as for a link that O_NOFOLLOW refuses. The link
// is checked and read through one handle, so it cannot be swapped in between.
int open_through_link(int dir, const char* name, int flags, int links_left) {
  const int link = ::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0) return -1;
  const Fd held(link);
  struct stat link_st {};
  struct stat dir_st {};
  if (fstat(link, &link_st) != 0 || fstat(dir, &dir_st) != 0) return -1;
  // No link there any more: whatever is there now, never followed.
  if (!S_ISLNK(link_st.st_mode)) return open_at(dir, name, flags | O_NOFOLLOW, 0);
  if (!may_follow(link_st, dir_st)) {
    errno = ELOOP;
    return -1;
  }
  char target[PATH_MAX];
  const ssize_t len = readlinkat(link, "", target, sizeof target);
  if (len < 0) return -1;
  if (static_cast<std::size_t>(len) >= sizeof target) {
    errno = ENAMETOOLONG;
    return -1;
  }
  target[len] = '\0';
  const char* next = target;
  while (std::strncmp(next, "./", 2) == 0) next += 2;
  // Beyond the directory the system's own rules apply; another name in it is held to this one.
  if (std::strchr(next, '/') != nullptr) return open_at(dir, target, flags, 0);
  const int fd = open_at(dir, next, flags | O_NOFOLLOW, 0);
  if (fd >= 0 || errno != ELOOP || links_left == 0) return fd;
  return open_through_link(dir, next, flags, links_left - 1);
}

int open_retrying(const char* path, int flags, mode_t mode) {
  const At where = at(path);
  const int fd = open_at(where.dir, where.name, flags | O_NOFOLLOW, mode);
  if (fd >= 0 || errno != ELOOP || (flags & O_NOFOLLOW) != 0) return fd;
  // A link, and the caller would follow one: only one that may be followed.
  char dir_part[kDirSize];
  if (!directory_of(where.name, dir_part)) return -1;
  const int dir = ::openat(where.dir, dir_part, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  const Fd held(dir);
  const char* slash = std::strrchr(where.name, '/');
  return open_through_link(dir, slash != nullptr ? slash + 1 : where.name, flags, kSiblingLinks);
}

// Run as root, a new file takes the directory's owner and group, and the
// group may write it where the group may write the directory.
void give_to_directory_owner(int fd, const char* path, struct stat& st) {
  char dir[kDirSize];
  struct stat owner {};
  if (geteuid() != 0 || !directory_of(path, dir) || stat(dir, &owner) != 0) return;
  const mode_t mode = (owner.st_mode & S_IWGRP) != 0 ? kGroupWritable : kNewFileMode;
  if (fchown(fd, owner.st_uid, owner.st_gid) == 0 && fchmod(fd, mode) == 0) fstat(fd, &st);
}

}  // namespace

At at(const char* path) {
  const TurnDirectory& turn = turn_directory;
  const bool inside = turn.fd >= 0 && std::strncmp(path, turn.prefix, turn.len) == 0 && (turn.len > 0 || path[0] != '/');
  if (!inside) return {AT_FDCWD, path};
  return {turn.fd, path[turn.len] != '\0' ? path + turn.len : "."};
}

int hold_turn_directory(const char* lock_path) {
  TurnDirectory& turn = turn_directory;
  char dir[kDirSize];
  if (turn.fd >= 0 || !directory_of(lock_path, dir)) return -1;
  const int fd = ::open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const char* slash = std::strrchr(lock_path, '/');
  turn.len = slash != nullptr ? static_cast<std::size_t>(slash - lock_path) + 1 : 0;
  std::memcpy(turn.prefix, lock_path, turn.len);
  turn.prefix[turn.len] = '\0';
  turn.fd = fd;
  return fd;
}

void drop_turn_directory(int& dir_fd) {
  if (dir_fd < 0) return;
  if (turn_directory.fd == dir_fd) turn_directory = TurnDirectory{};
  ::close(dir_fd);
  dir_fd = -1;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Opened open_regular(const char* path, int flags, int& fd, struct stat& st) {
  for (int attempt = 0;; ++attempt) {
    fd = open_retrying(path, flags, 0);
    int err = fd < 0 ? errno : 0;
    // A network file system may also say ENOENT for a name it still has
    // cached for a file since replaced: a missing file is looked for once more.
    bool stale = err == ESTALE || (err == ENOENT && attempt == 0);
    if (fd >= 0) {
      const Opened opened = check_regular(fd, st, err);
      if (opened == Opened::file || err == 0) return opened;
      stale = replaced_elsewhere(err);
    }
    if (!stale || attempt == kStaleRetries) return classify(err);
    refresh_names(path);
  }
}

Opened create_regular(const char* path, int flags, int& fd, struct stat& st) {
  fd = open_retrying(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW, kNewFileMode);
  if (fd < 0) return errno == EEXIST ? open_regular(path, flags | O_NOFOLLOW, fd, st) : classify(errno);
  int err = 0;
  const Opened opened = check_regular(fd, st, err);
  if (opened == Opened::file) give_to_directory_owner(fd, path, st);
  return opened;
}

void refresh_names(const char* path) {
  char dir[kDirSize];
  if (!directory_of(path, dir)) return;
  const At where = at(dir);
  const int fd = ::openat(where.dir, where.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::unique_ptr<DIR, int (*)(DIR*)> entries(fd >= 0 ? fdopendir(fd) : nullptr, closedir);
  if (entries == nullptr && fd >= 0) ::close(fd);
  if (entries == nullptr) return;
  while (readdir(entries.get()) != nullptr) {
  }
}

namespace {

// File systems whose clients keep a name for a while after another machine
// renamed a new file over it: FUSE (GlusterFS keeps it 1 s by default) and SMB.
// NFS opens by name with close-to-open consistency, and CephFS keeps its
// clients' caches coherent, so their names need no refreshing.
constexpr unsigned long kNamesOutliveRenames[] = {
    0x65735546,  // FUSE
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
};

unsigned long turn_number = 0;

bool names_outlive_renames(const char* dir) {
  struct statfs fs {};
  const At where = at(dir);
  // The turn's own handle, where dir is the turn's directory: no second open.
  const bool turn_dir = where.dir != AT_FDCWD && std::strcmp(where.name, ".") == 0;
  const int fd = turn_dir ? where.dir : ::openat(where.dir, where.name, O_PATH | O_DIRECTORY | O_CLOEXEC);
  const Fd held(turn_dir ? -1 : fd);
  if (fd < 0 || fstatfs(fd, &fs) != 0) return false;
  for (const unsigned long type : kNamesOutliveRenames) {
    if (static_cast<unsigned long>(fs.f_type) == type) return true;
  }
  return false;
}

}  // namespace

void begin_turn() { ++turn_number; }

namespace {

// The log and each counter of a batch, replaced once a turn.
constexpr int kMaxRetired = kBatchLimit + 1;
int retired[kMaxRetired];
int retired_count = 0;

}  // namespace

void close_after_turn(int fd, dev_t dev) {
  if (fd < 0) return;
  // Network and FUSE file systems sit on no block device.
  if (major(dev) == 0 || retired_count == kMaxRetired) {
    ::close(fd);
    return;
  }
  retired[retired_count++] = fd;
}

void end_turn_closes() {
  while (retired_count > 0) ::close(retired[--retired_count]);
}

void refresh_names_for_turn(const char* path) {
  // The last directory asked about, and the turn its names were last refreshed in.
  static char known[kDirSize] = "";
  static bool shared = false;
  static unsigned long refreshed_in = 0;
  char dir[kDirSize];
  if (!directory_of(path, dir)) return;
  if (std::strcmp(dir, known) != 0) {
    shared = names_outlive_renames(dir);
    std::memcpy(known, dir, sizeof known);
    refreshed_in = 0;
  }
  if (!shared || refreshed_in == turn_number) return;
  refresh_names(path);
  refreshed_in = turn_number;
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

namespace {

// ext4 and XFS journal a file's new size or extents when its data write
// completes, ahead of a later rename, so waiting for that write is enough
// there; everywhere else (FUSE, NFS, SMB, CephFS, btrfs, anything unknown)
// only fdatasync is known to reach stable storage, on the server too.
bool data_wait_suffices(int fd, dev_t dev) {
  // Network and FUSE file systems sit on no block device: no need to ask their server.
  if (major(dev) == 0) return false;
  static bool known = false;
  static dev_t known_dev = 0;
  static bool suffices = false;
  if (known && dev == known_dev) return suffices;
  struct statfs fs {};
  suffices = fstatfs(fd, &fs) == 0 && (fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == XFS_SUPER_MAGIC);
  known = true;
  known_dev = dev;
  return suffices;
}

}  // namespace

bool wait_for_data(int fd, [[maybe_unused]] dev_t dev) {
#ifdef __linux__
  constexpr unsigned kWriteAndWait =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  if (data_wait_suffices(fd, dev) && sync_file_range(fd, 0, 0, kWriteAndWait) == 0) return true;
#endif
  // A file system with nothing to sync (no fsync of its own) has nothing to wait for.
  return fdatasync(fd) == 0 || errno == EINVAL || errno == ENOSYS;
}

}  // namespace platform::posix
