// The run context and the request-handling steps of one run.
#pragma once

#include <cstddef>

#include "platform/platform.h"

constexpr std::size_t kInstallDirSize = 1024;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kMaxNameLength = 235;
constexpr std::size_t kLogTextSize = 49995;  // 49,994 characters and a zero byte
constexpr int kMaxCount = 999999999;

struct RunContext {
  int argc;
  char** argv;
  bool web_request;
  bool locked;  // the run lock serialises this run's file updates
  bool stores;  // a web request with its turn: it writes the log and stores the counter
  char install_dir[kInstallDirSize];
  char log_path[kPathSize];
  char lock_path[kPathSize];
  char counter_path[kPathSize];
};

// One whole run: log, arguments, counter, answer. Always returns 0.
int run_request(int argc, char** argv);

// Install directory and paths.
void find_install_dir(const char* argv0, char (&out)[kInstallDirSize]);
// Concatenates up to three parts; false, with out empty, when they do not fit.
bool join_path(char (&out)[kPathSize], const char* a, const char* b, const char* c);

// Counter store.
bool validate_name(const char* name);
int parse_count(const char* text);
int next_count(int stored);
enum class CounterOpen { opened, missing, failed, path_too_long };
CounterOpen open_counter(platform::LockedFile& file, RunContext& run, const char* name);
// next: the advanced count, stored when it should be and may be. False where
// the file could not be read, or the new count could not be written in full.
bool read_and_advance_counter(platform::LockedFile& file, bool store, int& next);

// Access log.
enum class LogResult { done, cannot_write };
LogResult rewrite_access_log(const RunContext& run);

// Text answers.
void write_cannot_open(const char* path);
void write_parameter_warning(const char* name, bool web_request);
void write_information_page();
void write_console_banner();
