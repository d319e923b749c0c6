// Taking turns: the run lock, and how long a request waits for a turn.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix_io.h"

namespace platform {

namespace posix {

namespace {

// How often the turns ahead are looked at while a request waits: a stall is
// seen at most this long after its bound, and thousands of waiters stay cheap.
constexpr long kLookMs = kTurnStallSeconds * 1000L / 2;
// The watcher's stack: it calls fstat and the clock, nothing deep.
constexpr std::size_t kWatcherStack = 256 * 1024;
// How often a waiter that must give up is told again, should a signal land just before its flock.
constexpr long kRetellMs = 50;

void on_wake(int) {}

// Interrupts of a waiting flock: SIGALRM, with no SA_RESTART, so flock returns EINTR.
class WakeAction {
 public:
  WakeAction() {
    struct sigaction wake {};
    wake.sa_handler = on_wake;
    sigemptyset(&wake.sa_mask);
    sigaction(SIGALRM, &wake, &saved_);
  }
  ~WakeAction() { sigaction(SIGALRM, &saved_, nullptr); }
  WakeAction(const WakeAction&) = delete;
  WakeAction& operator=(const WakeAction&) = delete;

 private:
  struct sigaction saved_ {};
};

// What a finished turn changes in the watched handle: a directory's times when
// a new file is made and renamed in it, a file's size and time when rewritten in place.
struct Progress {
  off_t size;
  long modified_s;
  long modified_ns;
  long changed_s;
  long changed_ns;
  bool operator!=(const Progress& other) const {
    return size != other.size || modified_s != other.modified_s || modified_ns != other.modified_ns ||
           changed_s != other.changed_s || changed_ns != other.changed_ns;
  }
};

// Through a handle already held, never by name: a name the holder is renaming a
// new file over may be bound to the replaced file by a shared volume's server.
Progress progress_of(int watched_fd) {
  struct stat st {};
  if (fstat(watched_fd, &st) != 0) return {};
  return {st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

long now_ms() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Whether a wait must end: no turn finished for the stall bound, or the whole bound spent.
class Deadline {
 public:
  explicit Deadline(int watched_fd)
      : watched_fd_(watched_fd), began_(now_ms()), changed_(began_), last_(progress_of(watched_fd)) {}
  bool passed() {
    const long now = now_ms();
    const Progress seen = progress_of(watched_fd_);
    if (seen != last_) {
      last_ = seen;
      changed_ = now;
    }
    return now - changed_ >= kTurnStallSeconds * 1000L || now - began_ >= kTurnMaxSeconds * 1000L;
  }

 private:
  int watched_fd_;
  long began_;
  long changed_;
  Progress last_;
};

// The turns ahead, watched from a thread of its own that interrupts the waiting
// flock only to give up: a waiter interrupted and queued again sends the waiters
// behind it along the kernel's queue anew, which made a burst of 3,000 take twice as long.
class Watcher {
 public:
  explicit Watcher(const Deadline& deadline) : deadline_(deadline), waiter_(pthread_self()) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&wake_, &attr);
    pthread_condattr_destroy(&attr);
    // The watcher takes no signal meant for the process.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t thread_attr;
    pthread_attr_init(&thread_attr);
    pthread_attr_setstacksize(&thread_attr, kWatcherStack);
    started_ = pthread_create(&thread_, &thread_attr, run, this) == 0;
    pthread_attr_destroy(&thread_attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  ~Watcher() {
    pthread_mutex_lock(&mutex_);
    done_ = true;
    pthread_cond_signal(&wake_);
    pthread_mutex_unlock(&mutex_);
    if (started_) pthread_join(thread_, nullptr);
    pthread_cond_destroy(&wake_);
  }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  bool started() const { return started_; }
  bool gave_up() {
    pthread_mutex_lock(&mutex_);
    const bool gave_up = gave_up_;
    pthread_mutex_unlock(&mutex_);
    return gave_up;
  }

 private:
  static void* run(void* self) {
    static_cast<Watcher*>(self)->watch();
    return nullptr;
  }

  void watch() {
    pthread_mutex_lock(&mutex_);
    while (!done_) {
      if (gave_up_ || deadline_.passed()) {
        gave_up_ = true;
        pthread_kill(waiter_, SIGALRM);
      }
      struct timespec until {};
      clock_gettime(CLOCK_MONOTONIC, &until);
      const long ms = gave_up_ ? kRetellMs : kLookMs;
      until.tv_sec += ms / 1000;
      until.tv_nsec += (ms % 1000) * 1000000;
      if (until.tv_nsec >= 1000000000) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000;
      }
      while (!done_ && pthread_cond_timedwait(&wake_, &mutex_, &until) == 0) {
      }
    }
    pthread_mutex_unlock(&mutex_);
  }

  Deadline deadline_;
  pthread_t waiter_;
  pthread_t thread_{};
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake_{};
  bool started_ = false;
  bool done_ = false;
  bool gave_up_ = false;
};

// Where no thread can be started (a process limit reached): the waiter looks
// itself, woken every few seconds, at the cost of queueing again each time.
class Ticker {
 public:
  Ticker() {
    const struct itimerval every {{kTickSeconds, 0}, {kTickSeconds, 0}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~Ticker() {
    const struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
  }
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  static constexpr long kTickSeconds = 5;
};

// A file system without locks, or one that failed.
Locked lock_error(int err) {
  return err == ENOLCK || err == EOPNOTSUPP || err == EINVAL || err == ENOSYS ? Locked::unsupported : Locked::failed;
}

// The first look's worth of waiting, with no thread: nearly every turn comes
// sooner, and a thread for each waiter cost more than a turn under load. The
// watch begins after it, as the watcher's own first look would. timed_out:
// the look passed, or a signal came, without the lock.
Locked wait_one_look(int fd) {
  const struct itimerval once {{0, 0}, {kLookMs / 1000, (kLookMs % 1000) * 1000}};
  const struct itimerval off {};
  setitimer(ITIMER_REAL, &once, nullptr);
  const int got = flock(fd, LOCK_EX);
  const int err = errno;
  setitimer(ITIMER_REAL, &off, nullptr);
  if (got == 0) return Locked::yes;
  return err == EINTR ? Locked::timed_out : lock_error(err);
}

Locked wait_watched(int fd, Watcher& watcher) {
  for (;;) {
    if (flock(fd, LOCK_EX) == 0) return Locked::yes;
    if (errno != EINTR) return lock_error(errno);
    if (watcher.gave_up()) return Locked::timed_out;
  }
}

Locked wait_ticked(int fd, Deadline& deadline) {
  const Ticker ticker;
  for (;;) {
    if (flock(fd, LOCK_EX) == 0) return Locked::yes;
    if (errno != EINTR) return lock_error(errno);
    if (deadline.passed()) return Locked::timed_out;
  }
}

}  // namespace

Locked lock_bounded(int fd, int watched_fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Locked::yes;
  if (errno != EWOULDBLOCK && errno != EINTR) return lock_error(errno);
  const WakeAction wake;
  Deadline deadline(watched_fd);
  const Locked first = wait_one_look(fd);
  if (first != Locked::timed_out) return first;
  Watcher watcher(deadline);
  return watcher.started() ? wait_watched(fd, watcher) : wait_ticked(fd, deadline);
}

}  // namespace posix

namespace {

using posix::Opened;

// The lock file, made by the first request; one another account made is
// locked through a read-only descriptor, which flock allows. A link there is
// followed only where a counter's would be.
Opened open_lock_file(const char* lock_path, int& fd) {
  struct stat st {};
  Opened opened = posix::open_regular(lock_path, O_RDWR, fd, st);
  if (opened == Opened::missing) opened = posix::create_regular(lock_path, O_RDWR, fd, st);
  if (opened == Opened::denied) opened = posix::open_regular(lock_path, O_RDONLY, fd, st);
  return opened;
}

}  // namespace

// The waiters watch the directory, where every turn makes and renames its new files.
Turn RunLock::acquire(const char* lock_path, [[maybe_unused]] const char* progress_path) {
  release();
  dir_fd_ = posix::hold_turn_directory(lock_path);
  const Opened opened = open_lock_file(lock_path, fd_);
  // A directory the account may not write, where no lock file was made for it.
  if (opened == Opened::missing || opened == Opened::denied) return Turn::per_file;
  if (opened == Opened::failed) return Turn::failed;
  if (opened != Opened::file) return Turn::unavailable;
  // Without the directory's handle no turn is seen to finish: the stall bound alone ends a wait.
  const posix::Locked locked = posix::lock_bounded(fd_, dir_fd_ >= 0 ? dir_fd_ : fd_);
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
  posix::end_turn_closes();
  posix::drop_turn_directory(dir_fd_);
}

}  // namespace platform
