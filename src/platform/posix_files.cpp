// A counter file or the access log on POSIX systems: opened for one run, and
// replaced whole by a new file renamed over it, keeping its owner and mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>  // renameat
#include <cstdlib>
#include <cstring>

#include "platform/in_place.h"
#include "platform/platform.h"
#include "platform/posix_io.h"

namespace platform {

namespace {

using posix::Opened;

enum class Replaced {
  done,      // the new content is in place
  not_here,  // no new file can be made with the old one's owner here: rewrite in place
  failed,    // the new file could not be written in full; the old one is as it was
};

// What a replacing file must keep of the one it replaces.
struct Kept {
  uid_t owner;
  gid_t group;
  mode_t mode;
};

// path, which holds no link, names the file device and inode identify.
bool names_file(const char* path, unsigned long long device, unsigned long long inode) {
  struct stat st {};
  return lstat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// A link at path is followed as open_regular allows; linked tells that there was one.
Opened open_following(const char* path, int flags, int& fd, struct stat& st, bool& linked) {
  const Opened opened = posix::open_regular(path, flags | O_NOFOLLOW, fd, st);
  linked = opened == Opened::link;
  return linked ? posix::open_regular(path, flags, fd, st) : opened;
}

// The temporary file, made fresh: whatever a killed run or anyone else left
// under its name is removed first. A name that only this machine still saw
// (another one renamed the file away) is looked up afresh.
Opened create_temp(const char* temp, mode_t mode, int& fd) {
  const posix::At where = posix::at(temp);
  for (int attempt = 0; attempt <= posix::kStaleRetries; ++attempt) {
    fd = ::openat(where.dir, where.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return Opened::file;
    if (errno != EEXIST) return errno == EACCES || errno == EPERM || errno == EROFS ? Opened::denied : Opened::failed;
    if (unlinkat(where.dir, where.name, 0) == 0 || unlinkat(where.dir, where.name, AT_REMOVEDIR) == 0) continue;
    if (errno != ENOENT && errno != ESTALE) return Opened::denied;
    posix::refresh_names(temp);
  }
  return Opened::failed;
}

Replaced discard(const char* temp, Replaced result) {
  const posix::At where = posix::at(temp);
  unlinkat(where.dir, where.name, 0);
  return result;
}

// The temporary file's name for target, in temp of cap bytes; false where it does not fit.
bool temp_name(const char* target, char* temp, std::size_t cap) {
  const std::size_t len = strnlen(target, cap);
  if (len + sizeof LockedFile::kTempSuffix > cap) return false;
  std::memcpy(temp, target, len);
  std::memcpy(temp + len, LockedFile::kTempSuffix, sizeof LockedFile::kTempSuffix);
  return true;
}

// Writes the new content beside the file, under the name temp, with its owner,
// group and mode, and renames it over the old one, so the path always names a
// whole old or whole new file.
Replaced replace_by_rename(const char* target, const char* temp, const Kept& kept, const char* data,
                           std::size_t len) {
  int fd = -1;
  const Opened made = create_temp(temp, kept.mode, fd);
  if (made != Opened::file) return made == Opened::denied ? Replaced::not_here : Replaced::failed;
  const posix::Fd out(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) return discard(temp, Replaced::failed);
  // An account that may not give the file its owner back rewrites it in place instead.
  if ((st.st_uid != kept.owner || st.st_gid != kept.group) && fchown(fd, kept.owner, kept.group) != 0) {
    return discard(temp, Replaced::not_here);
  }
  if ((st.st_mode & 07777) != kept.mode && fchmod(fd, kept.mode) != 0) return discard(temp, Replaced::failed);
  // A full disk or a failing one: the old file stays, whole.
  if (!posix::write_all(fd, data, len) || !posix::wait_for_data(fd, st.st_dev)) return discard(temp, Replaced::failed);
  const posix::At from = posix::at(temp);
  const posix::At to = posix::at(target);
  if (renameat(from.dir, from.name, to.dir, to.name) == 0) return Replaced::done;
  // A sticky directory keeps another account's file from being replaced.
  return discard(temp, errno == EACCES || errno == EPERM ? Replaced::not_here : Replaced::failed);
}

// A symbolic link stays: the file it names is replaced, provided the link still
// names the file it led to when opened, and no other. Out of line, so that the
// room for a whole path is not on the stack of every replace.
__attribute__((noinline)) Replaced replace_through_link(const char* path, unsigned long long device,
                                                        unsigned long long inode, const Kept& kept,
                                                        const char* data, std::size_t len) {
  char resolved[PATH_MAX];
  char temp[PATH_MAX + sizeof LockedFile::kTempSuffix];
  const char* target = realpath(path, resolved);
  if (target == nullptr || !names_file(target, device, inode) || !temp_name(target, temp, sizeof temp)) {
    return Replaced::not_here;
  }
  return replace_by_rename(target, temp, kept, data, len);
}

}  // namespace

LockedFile::~LockedFile() { close(); }

void LockedFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  readable_ = false;
  writable_ = false;
  in_place_ = false;
  offset_ = 0;
  size_ = 0;
}

FileOpen LockedFile::open_once(Access access, bool run_locked) {
  if (run_locked) posix::refresh_names_for_turn(path_);
  // Without the run lock a writer locks the file itself. Nothing then replaces
  // it, so the re-check below fails only when an administrator swapped the
  // file meanwhile, and the loop takes the new one.
  for (;;) {
    struct stat st {};
    readable_ = true;
    writable_ = access != Access::read;
    Opened opened = Opened::missing;
    if (access == Access::read) {
      opened = posix::open_regular(path_, O_RDONLY, fd_, st);
    } else {
      opened = open_following(path_, O_RDWR, fd_, st, linked_);
      if (opened == Opened::missing && access == Access::create) opened = posix::create_regular(path_, O_RDWR, fd_, st);
    }
    if (opened == Opened::denied && access == Access::update) {
      // Read-only for any reason (rights, a read-only or immutable file): shown, not stored.
      writable_ = false;
      opened = posix::open_regular(path_, O_RDONLY, fd_, st);
    } else if (opened == Opened::denied && access == Access::create) {
      readable_ = false;
      opened = open_following(path_, O_WRONLY, fd_, st, linked_);
    }
    if (opened != Opened::file) {
      close();
      return opened == Opened::failed ? FileOpen::failed : FileOpen::absent;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    owner_ = st.st_uid;
    group_ = st.st_gid;
    mode_ = st.st_mode & 07777;
    size_ = static_cast<std::size_t>(st.st_size);
    in_place_ = writable_ && !run_locked;
    if (!in_place_) return FileOpen::ok;
    // Each writer rewrites this very file in place: its own times show them going by.
    const posix::Locked locked = posix::lock_bounded(fd_, fd_);
    // Where locks are not supported the run goes on unlocked rather than fail.
    if (locked == posix::Locked::unsupported) return FileOpen::ok;
    if (locked == posix::Locked::failed) {
      close();
      return FileOpen::failed;
    }
    if (locked == posix::Locked::timed_out) {
      // A stuck writer: a counter is shown, not stored; the log cannot be written.
      writable_ = in_place_ = false;
      return access == Access::update ? FileOpen::ok : FileOpen::failed;
    }
    struct stat named {};
    const posix::At where = posix::at(path_);
    if (fstatat(where.dir, where.name, &named, 0) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino) {
      return FileOpen::ok;
    }
    close();
  }
}

bool LockedFile::same_file(const LockedFile& other) const {
  return fd_ >= 0 && other.fd_ >= 0 && device_ == other.device_ && inode_ == other.inode_;
}

long LockedFile::read(char* buf, std::size_t cap) {
  if (fd_ < 0 || !readable_) return 0;
  for (int attempt = 0;; ++attempt) {
    // What the file held when opened comes in one call, however the file
    // system cuts it up: a name found stale midway starts it all over.
    std::size_t got = 0;
    ssize_t n = 1;
    while (got < cap && n > 0 && (got == 0 || offset_ + got < size_)) {
      n = ::read(fd_, buf + got, cap - got);
      if (n > 0) got += static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) n = 1;
    }
    if (n >= 0) {
      offset_ += got;
      return static_cast<long>(got);
    }
    // Only a call from the start may start over on the fresh file: a later one would mix two files.
    if (!posix::replaced_elsewhere(errno) || offset_ != 0 || attempt == posix::kStaleRetries) return -1;
    posix::refresh_names(path_);
    close();
    if (open_once(access_, run_locked_) != FileOpen::ok) return -1;
  }
}

bool LockedFile::replace(const char* data, std::size_t len, std::size_t pad_to) {
  if (fd_ < 0 || !writable_) return false;
  if (!in_place_) {
    // The run lock keeps the old file as it is until it is replaced.
    posix::close_after_turn(fd_, device_);
    fd_ = -1;
    const Kept kept{owner_, group_, mode_};
    // open made room for the suffix in path_.
    char temp[sizeof path_];
    Replaced replaced = Replaced::not_here;
    if (linked_) {
      replaced = replace_through_link(path_, device_, inode_, kept, data, len);
    } else if (temp_name(path_, temp, sizeof temp)) {
      replaced = replace_by_rename(path_, temp, kept, data, len);
    }
    if (replaced != Replaced::not_here) return replaced == Replaced::done;
    struct stat st {};
    bool linked = false;
    if (open_following(path_, readable_ ? O_RDWR : O_WRONLY, fd_, st, linked) != Opened::file) return false;
  }
  // No new file here: a directory we may not write, or an owner we may not give.
  return rewrite_in_place(data, len, pad_to);
}

bool LockedFile::rewrite_in_place(const char* data, std::size_t len, std::size_t pad_to) {
  struct stat held {};
  if (fstat(fd_, &held) != 0) return false;
  const int fd = fd_;
  const auto write_at_start = [fd](const char* bytes, std::size_t n) {
    return lseek(fd, 0, SEEK_SET) == 0 && posix::write_all(fd, bytes, n);
  };
  const auto cut = [fd](std::size_t n) { return ftruncate(fd, static_cast<off_t>(n)) == 0; };
  return platform::rewrite_in_place(static_cast<std::size_t>(held.st_size), data, len, pad_to, write_at_start, cut);
}

}  // namespace platform
