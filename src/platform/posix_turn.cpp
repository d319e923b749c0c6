// Taking turns: the run lock, and how long a request waits for a turn.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix_io.h"

namespace platform {

namespace posix {

namespace {

// The first look comes when a stall could first be seen, then every few
// seconds: each look interrupts the waiting flock, which a network file system
// must cancel at its server, so a wait that ends in time costs no interrupt.
constexpr long kFirstTickSeconds = kTurnStallSeconds;
constexpr long kTickSeconds = 5;

void on_tick(int) {}

// SIGALRM while a wait lasts, so that a blocked flock comes back to look at
// the clock and at the progress of the turns ahead.
class Ticker {
 public:
  Ticker() {
    struct sigaction tick {};
    tick.sa_handler = on_tick;  // no SA_RESTART: flock returns EINTR
    sigemptyset(&tick.sa_mask);
    sigaction(SIGALRM, &tick, &saved_);
    const struct itimerval every_tick {{kTickSeconds, 0}, {kFirstTickSeconds, 0}};
    setitimer(ITIMER_REAL, &every_tick, nullptr);
  }
  ~Ticker() {
    // Disarmed first, so no tick can arrive once the old action is back.
    const struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved_, nullptr);
  }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  struct sigaction saved_ {};
};

// What a finished turn changes in the file each holder rewrites.
struct Progress {
  ino_t inode;
  off_t size;
  long modified_s;
  long modified_ns;
  bool operator!=(const Progress& other) const {
    return inode != other.inode || size != other.size || modified_s != other.modified_s ||
           modified_ns != other.modified_ns;
  }
};

Progress progress_of(const char* path) {
  struct stat st {};
  const At where = at(path);
  if (fstatat(where.dir, where.name, &st, 0) != 0) return {};
  return {st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// A file system without locks, or one that failed.
Locked lock_error(int err) {
  return err == ENOLCK || err == EOPNOTSUPP || err == EINVAL || err == ENOSYS ? Locked::unsupported : Locked::failed;
}

long now_seconds() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

}  // namespace

Locked lock_bounded(int fd, const char* progress_path) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Locked::yes;
  if (errno != EWOULDBLOCK && errno != EINTR) return lock_error(errno);
  const Ticker ticker;
  const long began = now_seconds();
  long changed = began;
  Progress last = progress_of(progress_path);
  for (;;) {
    if (flock(fd, LOCK_EX) == 0) return Locked::yes;
    if (errno != EINTR) return lock_error(errno);
    const long now = now_seconds();
    const Progress seen = progress_of(progress_path);
    if (seen != last) {
      last = seen;
      changed = now;
    }
    if (now - changed >= kTurnStallSeconds || now - began >= kTurnMaxSeconds) return Locked::timed_out;
  }
}

}  // namespace posix

namespace {

using posix::Opened;

// The lock file, made by the first request; one another account made is
// locked through a read-only descriptor, which flock allows.
Opened open_lock_file(const char* lock_path, int& fd) {
  struct stat st {};
  Opened opened = posix::open_regular(lock_path, O_RDWR | O_NOFOLLOW, fd, st);
  if (opened == Opened::missing) opened = posix::create_regular(lock_path, O_RDWR, fd, st);
  if (opened == Opened::denied) opened = posix::open_regular(lock_path, O_RDONLY | O_NOFOLLOW, fd, st);
  return opened;
}

}  // namespace

Turn RunLock::acquire(const char* lock_path, const char* progress_path) {
  release();
  dir_fd_ = posix::hold_turn_directory(lock_path);
  const Opened opened = open_lock_file(lock_path, fd_);
  // A directory the account may not write, where no lock file was made for it.
  if (opened == Opened::missing || opened == Opened::denied) return Turn::per_file;
  if (opened == Opened::failed) return Turn::failed;
  if (opened != Opened::file) return Turn::unavailable;
  const posix::Locked locked = posix::lock_bounded(fd_, progress_path);
  if (locked == posix::Locked::yes) {
    posix::begin_turn();
    return Turn::taken;
  }
  release();
  switch (locked) {
    case posix::Locked::unsupported: return Turn::per_file;
    case posix::Locked::failed: return Turn::failed;
    default: return Turn::unavailable;
  }
}

void RunLock::release() {
  if (fd_ >= 0) ::close(fd_);  // also releases the flock
  fd_ = -1;
  posix::drop_turn_directory(dir_fd_);
}

}  // namespace platform
