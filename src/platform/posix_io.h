// Files by name on POSIX systems, local or shared by several machines: names
// another machine replaced, special files planted where a file belongs, turns
// that must not wait forever.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace platform::posix {

// A name another machine replaced is looked up afresh this many times.
constexpr int kStaleRetries = 4;

// An error on an open descriptor that means its file was replaced on another
// machine: ESTALE, or ENOENT, which GlusterFS gives for the file it no longer has.
inline bool replaced_elsewhere(int err) { return err == ESTALE || err == ENOENT; }

// A path as a directory descriptor and a name from it. Inside the directory of
// the current turn that is the turn's handle on the directory, so a network
// file system checks the directory once a turn, not again for every path.
struct At {
  int dir;  // AT_FDCWD outside the turn's directory
  const char* name;
};
At at(const char* path);
// The turn's directory handle for the directory holding lock_path, -1 where
// it cannot be had (paths are then used whole); drop_turn_directory closes it.
int hold_turn_directory(const char* lock_path);
void drop_turn_directory(int& dir_fd);

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class Opened {
  file,      // a regular file, open
  missing,   // no such file
  denied,    // the account may not open it so
  link,      // a symbolic link, where the flags refuse to follow one
  special,   // a FIFO, device, socket or directory: never a counter or a log
  failed,    // the file system failed (EIO, a server gone, a name stale past retrying)
};

// Opens path as a regular file, never blocking on a FIFO or a device. An
// ESTALE (the name was replaced on another machine) refreshes the names and
// opens again, at most kStaleRetries times. A symbolic link at the last name
// is refused (Opened::link) with O_NOFOLLOW, and without it followed only when
// the running account or the owner of the link's directory made it.
Opened open_regular(const char* path, int flags, int& fd, struct stat& st);
// Creates path, which must not exist yet, as a regular file. Run as root, the
// new file belongs to the directory's owner, so the server's account keeps it.
Opened create_regular(const char* path, int flags, int& fd, struct stat& st);
// Reads the directory holding path: a network file system then looks its names up afresh.
void refresh_names(const char* path);
// A new turn begins: names another machine may have replaced while this one waited.
void begin_turn();
// Before a file is opened in a turn: where the directory holding path is on a
// file system whose client keeps names after another machine's rename (FUSE,
// SMB), its names are refreshed, once a turn, so they lead to the new files.
void refresh_names_for_turn(const char* path);

// The descriptor of a file about to be replaced in the turn. On a local disk
// it stays open until end_turn_closes, after the turn's lock is released: the
// replaced file's blocks are then freed outside the turn instead of by the
// rename, which on a disk mounted with discard waits for the device. Closed at
// once on a network file system, which would otherwise keep the old file for us.
void close_after_turn(int fd, dev_t dev);
void end_turn_closes();

bool write_all(int fd, const char* data, std::size_t len);
// Waits until the data written to fd is on stable storage, as cheaply as the
// file system on dev allows; false where it could not be made so.
bool wait_for_data(int fd, dev_t dev);

enum class Locked { yes, unsupported, timed_out, failed };
// An exclusive flock on fd, waited for within the turn's bounds; watched_fd is
// a handle already held (the directory, or the locked file itself) whose times
// show the waiters that turns go by. No name is looked up while waiting.
Locked lock_bounded(int fd, int watched_fd);

}  // namespace platform::posix
