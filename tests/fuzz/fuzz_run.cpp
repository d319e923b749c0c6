// libFuzzer target: one input is one whole run of the program, in this
// process: argument 0 and up to three arguments or a query string, the three
// client variables, the counter file and the old log, in a private directory.
//
// Input layout: byte 0 the shape, byte 1 the files, then the fields of Field
// separated by zero bytes; the old log takes the rest and may hold zero bytes.
//   shape bits 0-1: arguments beyond argument 0 (0 to 3)
//   shape bit 2: no argument 0 at all (argument count 0)
//   shape bits 3-7: GATEWAY_INTERFACE, QUERY_STRING, REMOTE_HOST, REMOTE_ADDR,
//                   HTTP_USER_AGENT present
//   files bits 0-1: counter file, bits 2-3: old log (FileKind)
// With LUMICOUNT_FUZZ_OUTCOMES set, the runs are tallied by outcome at exit;
// set to "require", an outcome never reached fails the process.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "image/image.h"
#include "request/request.h"

namespace {

namespace fs = std::filesystem;

enum Field { kArgv0, kArg1, kArg2, kArg3, kQuery, kHost, kAddr, kAgent, kCounter, kFieldCount };
enum FileKind { kAbsent, kFile, kDirectory, kFileToo };  // two bits: a file is the likeliest

constexpr unsigned kNoArgv0 = 1u << 2;
constexpr unsigned kGatewayBit = 1u << 3;
constexpr unsigned kQueryBit = 1u << 4;
constexpr unsigned kHostBit = 1u << 5;
constexpr unsigned kAddrBit = 1u << 6;
constexpr unsigned kAgentBit = 1u << 7;
struct Variable {
  const char* name;
  unsigned shape_bit;
  Field value;  // kFieldCount: a fixed value
};
constexpr Variable kVariables[] = {
    {"GATEWAY_INTERFACE", kGatewayBit, kFieldCount}, {"QUERY_STRING", kQueryBit, kQuery},
    {"REMOTE_HOST", kHostBit, kHost},                {"REMOTE_ADDR", kAddrBit, kAddr},
    {"HTTP_USER_AGENT", kAgentBit, kAgent},
};

constexpr char kLogHeader[] = "lumicount.exe version 2.1 log file\r\n\r\n";
constexpr std::size_t kMaxLogChars = 49994;
constexpr std::size_t kMaxLogLines = 302;  // the header, the empty line and 300 entries
constexpr std::size_t kMaxCountDigits = 9;

enum Outcome {
  kStyle0, kStyle1, kStyle2, kStyle3, kWebWarning, kConsoleWarning, kInformationPage, kConsoleBanner,
  kSilent, kLogFailure, kUnknown, kOutcomeCount
};
constexpr const char* kOutcomeNames[] = {
    "picture style 0", "picture style 1", "picture style 2", "picture style 3", "warning (HTML)",
    "warning (console)", "information page", "console banner", "silent exit", "log failure", "unknown answer"};
static_assert(std::size(kOutcomeNames) == kOutcomeCount, "one name per outcome");

constexpr char kBanner[] = "\"lumicount.exe\" version 2.1\nlumicount is made by the lumicount project.\n";
struct AnswerStart {
  const char* start;
  Outcome outcome;
};
// The picture is told apart by its style afterwards; the banner by its length.
constexpr AnswerStart kAnswerStarts[] = {
    {"Content-type: image/gif\n\nGIF8", kStyle0},
    {"Content-type: text/html\n\n<HTML><BODY>\n<FONT SIZE=+1>Warning: parameter \"", kWebWarning},
    {"Content-type: text/html\n\n<HTML><BODY>\n<FONT SIZE=+2>\"lumicount.exe\"", kInformationPage},
    {"\"lumicount.exe\" version 2.1\nlumicount is made by the lumicount project.\n\nWarning: parameter \"",
     kConsoleWarning},
    {kBanner, kConsoleBanner},
    {"Cannot open \"", kLogFailure},
};

struct Input {
  unsigned shape = 0;
  unsigned files = 0;
  std::string fields[kFieldCount];
  std::string old_log;
};

long tally[kOutcomeCount];
int open_fds_at_start = -1;
fs::path private_dir;
fs::path start_dir;

// The program finds its files from the working directory; libFuzzer finds the
// corpus from the one it was started in.
struct InPrivateDir {
  InPrivateDir() {
    if (chdir(private_dir.c_str()) != 0) std::abort();
  }
  ~InPrivateDir() {
    if (chdir(start_dir.c_str()) != 0) std::abort();
  }
  InPrivateDir(const InPrivateDir&) = delete;
  InPrivateDir& operator=(const InPrivateDir&) = delete;
};

Input parse(const std::uint8_t* data, std::size_t size) {
  Input in;
  std::size_t pos = 0;
  if (pos < size) in.shape = data[pos++];
  if (pos < size) in.files = data[pos++];
  for (std::string& field : in.fields) {
    const std::size_t left = size - pos;
    const void* nul = left > 0 ? std::memchr(data + pos, 0, left) : nullptr;
    const std::size_t end = nul != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
    field.assign(reinterpret_cast<const char*>(data + pos), end - pos);
    pos = nul != nullptr ? end + 1 : size;
  }
  in.old_log.assign(reinterpret_cast<const char*>(data + pos), size - pos);
  return in;
}

// Argument 0 chooses where the program writes: never outside the private directory.
std::string confined_argv0(std::string text) {
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '.' && text[i - 1] == '.') text[i] = '_';
  }
  return !text.empty() && text[0] == '/' ? "." + text : text;
}

bool confined(const std::string& path) {
  return !path.empty() && path[0] != '/' && path.find("..") == std::string::npos;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The counter name a query gives: its first "+"-word with %XX decoded.
std::string first_query_word(const std::string& query) {
  std::string word;
  for (std::size_t i = 0; i < query.size() && query[i] != '+'; ++i) {
    const bool escape = query[i] == '%' && i + 2 < query.size() && hex_value(query[i + 1]) >= 0 &&
                        hex_value(query[i + 2]) >= 0;
    if (escape) {
      word += static_cast<char>(hex_value(query[i + 1]) * 16 + hex_value(query[i + 2]));
      i += 2;
    } else {
      word += query[i];
    }
  }
  return word.substr(0, word.find('\0'));
}

// Leaves a file or a directory where the program will look for it.
void place(const char* path, FileKind kind, const std::string& content) {
  if (kind == kAbsent || path[0] == '\0' || !confined(path)) return;
  std::error_code ec;
  const fs::path target(path);
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);
  if (kind == kDirectory) {
    fs::create_directories(target, ec);
    return;
  }
  if (FILE* file = std::fopen(path, "wb")) {
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
}

void clear_private_dir() {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(private_dir, ec)) fs::remove_all(entry.path(), ec);
}

// The environment points into these entries (putenv): setenv would keep a
// copy of every value it was ever given for the life of the process.
std::string env_entries[std::size(kVariables)];

void set_environment(const Input& in) {
  for (std::size_t i = 0; i < std::size(kVariables); ++i) {
    const Variable& var = kVariables[i];
    unsetenv(var.name);
    if ((in.shape & var.shape_bit) == 0) continue;
    env_entries[i] = std::string(var.name) + "=" + (var.value == kFieldCount ? "CGI/1.1" : in.fields[var.value]);
    putenv(env_entries[i].data());
  }
}

int count_open_fds() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

// head holds the first bytes of an answer of total bytes.
Outcome classify(const char* head, std::size_t got, std::size_t total) {
  if (total == 0) return kSilent;
  for (const AnswerStart& answer : kAnswerStarts) {
    const std::size_t n = std::strlen(answer.start);
    if (got < n || std::memcmp(head, answer.start, n) != 0) continue;
    if (answer.outcome == kStyle0) return static_cast<Outcome>(kStyle0 + image::current_style);
    if (answer.outcome == kConsoleBanner && total != n) continue;
    return answer.outcome;
  }
  return kUnknown;
}

// Standard output of the last run; the memory file is emptied before each run.
Outcome answer_outcome() {
  std::fflush(stdout);
  char head[256];
  const off_t total = lseek(STDOUT_FILENO, 0, SEEK_END);
  const ssize_t got = pread(STDOUT_FILENO, head, sizeof head, 0);
  if (got < 0 || total < 0) return kUnknown;
  return classify(head, static_cast<std::size_t>(got), static_cast<std::size_t>(total));
}

std::string read_file(const char* path) {
  std::string bytes;
  if (FILE* file = std::fopen(path, "rb")) {
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
    std::fclose(file);
  }
  return bytes;
}

// A rewritten log: the header, then at most 49,994 characters and 302 line
// ends, each stored as CR LF; no CR of its own and no 0x1A that ends it early.
bool log_well_formed(const std::string& log) {
  if (log.compare(0, std::strlen(kLogHeader), kLogHeader) != 0) return false;
  std::size_t chars = 0;
  std::size_t lines = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    const bool cr_lf = log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n';
    const bool lf_after_cr = log[i] == '\n' && i > 0 && log[i - 1] == '\r';
    if (log[i] == '\x1a' || (log[i] == '\r' && !cr_lf) || (log[i] == '\n' && !lf_after_cr)) return false;
    if (log[i] == '\n') ++lines;
    if (log[i] != '\r') ++chars;
  }
  return chars <= kMaxLogChars && lines <= kMaxLogLines;
}

// A stored count: "%d" of 0 to 999,999,999, no line end.
bool holds_count(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= kMaxCountDigits &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  return digits && (text[0] != '0' || text.size() == 1);
}

void fail(const char* what) {
  std::fprintf(stderr, "lumicount_fuzz: %s\n", what);
  std::abort();
}

void print_tally() {
  bool all = true;
  std::fprintf(stderr, "lumicount_fuzz: runs by outcome (libFuzzer repeats some inputs to look for leaks)\n");
  for (int i = 0; i < kOutcomeCount; ++i) {
    std::fprintf(stderr, "  %-18s %ld\n", kOutcomeNames[i], tally[i]);
    all = all && (i == kUnknown || tally[i] > 0);
  }
  const char* mode = std::getenv("LUMICOUNT_FUZZ_OUTCOMES");
  if (!all && mode != nullptr && std::strcmp(mode, "require") == 0) {
    std::fprintf(stderr, "lumicount_fuzz: an outcome was never reached\n");
    std::_Exit(1);
  }
}

void remove_private_dir() {
  std::error_code ec;
  fs::remove_all(private_dir, ec);
}

struct RunFiles {
  bool named_by_arguments = false;  // the counter file is exactly where it was put
  char counter_path[kPathSize] = {};
  bool log_named = false;
  char log_path[kPathSize] = {};
};

std::vector<std::string> arguments(const Input& in) {
  std::vector<std::string> args;
  if ((in.shape & kNoArgv0) != 0) return args;
  args.push_back(confined_argv0(in.fields[kArgv0]));
  const int extra = static_cast<int>(in.shape & 3u);
  for (int a = 1; a <= extra; ++a) args.push_back(in.fields[kArgv0 + a]);
  return args;
}

// The counter file and the old log go where the program will look for them.
void place_files(const Input& in, const std::vector<std::string>& args, RunFiles& files) {
  char install_dir[kInstallDirSize];
  find_install_dir(args.empty() ? nullptr : args[0].c_str(), install_dir);
  const bool query = args.size() == 1 && (in.shape & kGatewayBit) != 0 && (in.shape & kQueryBit) != 0;
  files.named_by_arguments = args.size() > 1;
  const std::string name = files.named_by_arguments ? args[1] : query ? first_query_word(in.fields[kQuery]) : "";
  if (!name.empty() && join_path(files.counter_path, install_dir, name.c_str(), ".ini")) {
    place(files.counter_path, static_cast<FileKind>(in.files & 3u), in.fields[kCounter]);
  }
  files.log_named = join_path(files.log_path, install_dir, "lctlog.txt", "");
  if (files.log_named) place(files.log_path, static_cast<FileKind>((in.files >> 2) & 3u), in.old_log);
}

// What every run must leave: a known answer, a sound log and count, no open file.
void check_run(const Input& in, const RunFiles& files, Outcome outcome) {
  if (outcome == kUnknown) fail("an answer that is none of the program's");
  const bool web = (in.shape & (kHostBit | kAddrBit)) != 0;
  const bool rewrote_log = web && files.log_named && confined(files.log_path) && outcome != kLogFailure;
  if (rewrote_log && !log_well_formed(read_file(files.log_path))) fail("a rewritten log that breaks its format or its limits");
  const bool picture = outcome <= kStyle3 && files.named_by_arguments;
  if (picture && web && !holds_count(read_file(files.counter_path))) fail("a stored count that is not one");
  if (picture && !web && read_file(files.counter_path) != in.fields[kCounter]) fail("a console run changed a counter");
  if (count_open_fds() != open_fds_at_start) fail("a run left a file open");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string templ = (fs::temp_directory_path() / "lumicount_fuzz.XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) fail("no private directory");
  private_dir = templ;
  start_dir = fs::current_path();
  std::atexit(remove_private_dir);
  const int out = memfd_create("lumicount_stdout", 0);
  if (out < 0 || dup2(out, STDOUT_FILENO) < 0) fail("no memory file for standard output");
  close(out);
  if (std::getenv("LUMICOUNT_FUZZ_OUTCOMES") != nullptr) std::atexit(print_tally);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input in = parse(data, size);
  const InPrivateDir here;
  std::fflush(stdout);
  if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) fail("cannot empty standard output");
  clear_private_dir();
  RunFiles files;
  std::vector<std::string> args = arguments(in);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  place_files(in, args, files);
  set_environment(in);

  if (open_fds_at_start < 0) open_fds_at_start = count_open_fds();
  run_request(static_cast<int>(args.size()), argv.data());

  const Outcome outcome = answer_outcome();
  ++tally[outcome];
  check_run(in, files, outcome);
  return 0;
}
