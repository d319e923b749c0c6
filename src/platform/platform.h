// Everything that differs between Linux and Windows, file systems and ways of being started.
#pragma once

#include <cstddef>

namespace platform {

// The most requests served in one turn: a turn's file work costs about the
// same for one request as for many, while a request waits for at most the
// batch ahead of it; 64 keeps that wait to a few milliseconds of answers.
constexpr int kBatchLimit = 64;

// The three steps of serving requests, as the request side gives them: read
// the request in slot (0 to kBatchLimit - 1) from its arguments and the
// environment; the turn's file work for slots 0 to count - 1, as if they ran
// one after another; the answer of slot to standard output.
struct RequestSteps {
  void (*read)(int slot, int argc, char** argv);
  void (*turn)(int count);
  void (*answer)(int slot);
};

// Standard input is a listening socket: a FastCGI server started the program.
bool started_by_fastcgi();
// Serves FastCGI requests until SIGTERM, in batches of those already waiting:
// each request is read with its parameters as the environment, the batch has
// one turn, then each is answered with its output as standard output. argv0
// places the install directory. Returns the exit status.
int serve_fastcgi(char* argv0, const RequestSteps& steps);

// GIF bytes and bare line feeds must leave the program unchanged.
void set_binary_stdout();

// Characters that end the install directory inside argument 0.
bool is_dir_separator(char c);

// Counter names that would name a file outside the install directory.
bool leaves_install_dir(const char* name);

struct LocalTime {
  int year;
  int month;  // 1 to 12
  int day;
  int hour;
  int minute;
};
LocalTime local_time_now();

enum class Access {
  read,    // console run: read only
  update,  // web counter: stored only when the file may be written
  create,  // access log: created when missing, must be writable
};

// How long a request waits for its turn: as long as the requests ahead of it
// keep finishing (the log changes), but not past a stuck one, and never so long
// that a web server gives up on it first (Apache waits 60 s).
constexpr int kTurnStallSeconds = 10;
constexpr int kTurnMaxSeconds = 40;

enum class Turn {
  taken,        // this run holds the turn: its files are replaced whole
  per_file,     // no lock file can be made here: each file locks itself, rewritten in place
  unavailable,  // the turn did not come within the bound, or the lock file is unusable
  failed,       // the file system failed: nothing can be read or written now
};

// Serialises the web requests of one install directory, from before the log
// is read until the counter is stored. It locks a small file beside the log
// that nothing ever replaces, so every waiting request waits on the lock it
// will get, however many arrive at once.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock() { release(); }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Waits within the bounds above; progress_path is the file each turn rewrites.
  // Where a handle on its directory can be held, the waiters watch that instead,
  // never looking up a name that a turn is replacing.
  Turn acquire(const char* lock_path, const char* progress_path);
  void release();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  int dir_fd_ = -1;  // the directory, held for the turn: paths in it are looked up from here
#endif
};

// A counter file or the access log, opened for one run. Under the run lock its
// content is replaced by a new file renamed over it, so a killed process leaves
// the old or the new bytes. Without the run lock, a writer locks the file itself
// and rewrites it in place, never moving the file others wait on. Anything but
// a regular file is refused at once.
enum class FileOpen {
  ok,
  absent,  // no such file, or none the account may read, or not a regular file
  failed,  // the file system failed: the file may well be there
};

class LockedFile {
 public:
  // A replacing file is written under the file's own name and this suffix.
  static constexpr char kTempSuffix[] = ".tmp";

  LockedFile() = default;
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  FileOpen open(const char* path, Access access, bool run_locked);
  void close();
  // Whether both are open on one file, whatever names led to it.
  bool same_file(const LockedFile& other) const;
  bool readable() const { return readable_; }
  bool writable() const { return writable_; }
  // Raw bytes from the current position: 0 at the end, -1 on an error, which
  // is never to be taken for the end of the file.
  long read(char* buf, std::size_t cap);
  // Whether everything the file held when opened has been read.
  bool at_end() const { return offset_ >= size_; }
  // Puts data in place of the whole content; false, with the file as it was
  // or as a reader takes it, where the new content could not be written.
  // pad_to: a count, rewritten in place, first becomes data behind leading
  // zeros up to that many bytes, which reads as the same count.
  bool replace(const char* data, std::size_t len, std::size_t pad_to);

 private:
  FileOpen open_once(Access access, bool run_locked);
  bool rewrite_in_place(const char* data, std::size_t len, std::size_t pad_to);

  char path_[272] = {};
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  unsigned owner_ = 0;  // kept by a replacing file
  unsigned group_ = 0;
  unsigned mode_ = 0;
  bool linked_ = false;  // path is a symbolic link: its target is replaced
  unsigned long long device_ = 0;  // the file opened: told apart from others, and alone replaced
  unsigned long long inode_ = 0;
#endif
  Access access_ = Access::read;
  bool run_locked_ = false;
  std::size_t offset_ = 0;
  std::size_t size_ = 0;
  bool readable_ = false;
  bool writable_ = false;
  bool in_place_ = false;  // this file is its own lock: never replace it
};

// The operating system's version facts for the information page.
class VersionKey {
 public:
  VersionKey();  // open version key
  ~VersionKey(); // close version key
  VersionKey(const VersionKey&) = delete;
  VersionKey& operator=(const VersionKey&) = delete;

  // The text under name, or the empty text; always zero-terminated.
  void read_version_value(const char* name, char* out, std::size_t cap) const;

 private:
#ifdef _WIN32
  void* key_ = nullptr;
#endif
};

// Stands in for a web server that runs the program on a query without "="
// but does not pass the query's words as arguments (CGI/1.1's indexed query).
constexpr std::size_t kMaxQueryLength = 8190;  // no query Apache accepts by default is longer
constexpr int kMaxQueryWords = 512;            // far past the two words of a counter request
struct QueryArguments {
  int argc;
  char* argv[kMaxQueryWords + 2];      // argument 0, the words, a null pointer
  char words[kMaxQueryLength + 1];     // the decoded words, each zero-terminated
};
// The arguments as Apache builds them, without its backslashes before shell
// characters: argv0, then the query split at every "+" (empty words kept), each
// word's %XX decoded and ended by a decoded zero byte. False, with nothing
// built, for a missing or empty query, one holding "=", or one past a bound.
bool build_query_arguments(const char* query, char* argv0, QueryArguments& out);

}  // namespace platform
