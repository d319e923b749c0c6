// The requests of one batch and the steps that serve them: read, turn, answer.
#pragma once

#include <cstddef>

#include "platform/platform.h"

constexpr std::size_t kInstallDirSize = 1024;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kMaxNameLength = 235;
constexpr std::size_t kLogTextSize = 49995;  // 49,994 characters and a zero byte
constexpr std::size_t kMaxLogLines = 302;    // the header's two and 300 entries
constexpr int kMaxCount = 999999999;

// What a request is answered with, decided in its turn.
enum class RequestMode {
  counter_image,
  parameter_warning,
  information_page,
  console_banner,
  silent_exit,      // a refused name, or a path that does not fit
  log_failure,      // the log cannot be written: "Cannot open" it, nothing counted
  counter_failure,  // the counter could not be read or stored: "Cannot open" it
};

constexpr int kNoCounter = -1;

// One request: read before its batch's turn, answered after it.
struct Request {
  int argc;
  char** argv;
  bool web_request;
  const char* entry;  // its access-log line, made when it was read (web requests)
  std::size_t entry_len;
  RequestMode mode;
  int counter;  // the turn's counter it names, or kNoCounter
  int count;    // the count its picture shows
  char failed_path[kPathSize];  // the file a failure answer names
};

// What the requests of one turn share.
struct RunContext {
  bool web_request;
  bool locked;  // the run lock serialises this turn's file updates
  bool stores;  // web requests with their turn: the log is written and counters stored
  char install_dir[kInstallDirSize];
  char log_path[kPathSize];
  char lock_path[kPathSize];
};

enum class CounterOpen { opened, missing, failed };

// A counter named in a turn: opened, read and stored once for all its requests.
struct Counter {
  char path[kPathSize];
  CounterOpen opened;
  platform::LockedFile file;
};

// The bytes of a turn's log on their way in and out, and its text between: one
// buffer for all three, so that a hit touches each page once. A turn keeps it
// on its stack, where the picture's encoder later reuses the pages. Each line
// end of the text grows to two bytes on disk.
struct FileBytes {
  char bytes[kLogTextSize + kMaxLogLines];
};

// The three steps; a CGI or console run is a batch of one.
void read_request(int slot, int argc, char** argv);
void serve_turn(int count);
void answer_request(int slot);
// One whole run: read, turn, answer. Always returns 0.
int run_request(int argc, char** argv);

// Install directory and paths.
void find_install_dir(const char* argv0, char (&out)[kInstallDirSize]);
// Concatenates up to three parts; false, with out empty, when they do not fit.
bool join_path(char (&out)[kPathSize], const char* a, const char* b, const char* c);

// Counter store.
bool validate_name(const char* name);
int parse_count(const char* text);
int next_count(int stored);
// Opens the counter at its path, for storing where the turn stores.
CounterOpen open_counter(Counter& counter, const RunContext& run);
// The stored count; false where the file could not be read.
bool read_counter(platform::LockedFile& file, int& stored);
// False where the count could not be written in full.
bool store_counter(platform::LockedFile& file, int count);

// Access log.
// The request's entry, from the environment and the clock, kept for its turn.
void make_log_entry(Request& request, int slot);
// Opens and reads the log and puts the new text together: the entries of
// requests[0, count), newest first, above the old lines that many runs one
// after another would have carried. False where the log cannot be written.
bool prepare_access_log(platform::LockedFile& log, const RunContext& run, const Request* requests, int count,
                        FileBytes& bytes);
bool write_access_log(platform::LockedFile& log, FileBytes& bytes);

// Text answers.
void write_cannot_open(const char* path);
void write_parameter_warning(const char* name, bool web_request);
void write_information_page();
void write_console_banner();
