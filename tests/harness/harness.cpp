#include "harness/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef LUMICOUNT_BIN
#error "LUMICOUNT_BIN names the program under test"
#endif

namespace harness {

namespace {

constexpr int kTimeoutMs = 60000;

// Variables Wine itself needs; the program's own environment stays the case's.
const char* const kLauncherPassThrough[] = {"WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINESERVER",
                                            "WINELOADER", "HOME", "PATH", "DISPLAY", "USER"};

const char* env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

std::string program_source() { return env_or("LUMICOUNT_BIN", LUMICOUNT_BIN); }

std::string program_name() { return under_launcher() ? "lumicount.exe" : "lumicount"; }

void remove_tree(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      remove_tree(path + "/" + name);
    }
    closedir(dir);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(&s[0]);
  result.push_back(nullptr);
  return result;
}

void copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  out.close();
  chmod(to.c_str(), 0755);
}

}  // namespace

bool under_launcher() { return env_or("LUMICOUNT_LAUNCHER", nullptr) != nullptr; }

InstallDir::InstallDir() {
  std::string tmpl = std::string(env_or("TMPDIR", "/tmp")) + "/lumicount-e2e-XXXXXX";
  path_ = mkdtemp(&tmpl[0]) != nullptr ? tmpl : std::string();
  if (under_launcher()) {
    copy_file(program_source(), program());
  } else {
    // A link keeps the real program while argument 0 names this directory.
    if (symlink(program_source().c_str(), program().c_str()) != 0) copy_file(program_source(), program());
  }
}

InstallDir::~InstallDir() {
  if (!path_.empty()) remove_tree(path_);
}

std::string InstallDir::program() const { return path_ + "/" + program_name(); }

std::string InstallDir::seen_by_program() const {
  if (!under_launcher()) return path_ + "/";
  std::string windows = "Z:" + path_ + "/";
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

void InstallDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string InstallDir::read(const std::string& name) const {
  std::ifstream in(path_ + "/" + name, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool InstallDir::exists(const std::string& name) const {
  struct stat info {};
  return lstat((path_ + "/" + name).c_str(), &info) == 0;
}

void InstallDir::make_dir(const std::string& name) const { mkdir((path_ + "/" + name).c_str(), 0755); }

void InstallDir::give_to_nobody_read_only() const {
  // A copy: nobody may not be able to reach the build tree.
  unlink(program().c_str());
  copy_file(program_source(), program());
  for (const std::string& name : names()) {
    if (chown((path_ + "/" + name).c_str(), kNobody, kNobody) != 0) return;
  }
  if (chown(path_.c_str(), kNobody, kNobody) == 0) chmod(path_.c_str(), 0555);
}

std::vector<std::string> InstallDir::names() const {
  std::vector<std::string> result;
  DIR* dir = opendir(path_.c_str());
  if (dir == nullptr) return result;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != program_name()) result.push_back(name);
  }
  closedir(dir);
  std::sort(result.begin(), result.end());
  return result;
}

Running InstallDir::start(const Invocation& call) const {
  std::vector<std::string> argv;
  std::string file = call.as_nobody ? program() : program_source();
  if (under_launcher()) {
    file = std::getenv("LUMICOUNT_LAUNCHER");
    argv = {file, program()};
  } else {
    argv = {call.argv0.empty() ? program() : call.argv0};
  }
  if (!call.wrapper.empty()) {
    argv.insert(argv.begin(), call.wrapper.begin(), call.wrapper.end());
    file = call.wrapper[0];
  }
  argv.insert(argv.end(), call.args.begin(), call.args.end());
  std::vector<std::string> env = call.env;
  if (under_launcher()) {
    for (const char* name : kLauncherPassThrough) {
      if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
    }
  }
  // Sanitizer settings of the test run reach the program too.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  int out_pipe[2] = {-1, -1};
  if (call.out_file.empty() && pipe(out_pipe) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = call.out_file.empty() ? out_pipe[1] : open(call.out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    if (out_pipe[0] >= 0) close(out_pipe[0]);
    close(out);
    if (call.gate[1] >= 0) close(call.gate[1]);
    char byte = 0;
    while (call.gate[0] >= 0 && ::read(call.gate[0], &byte, 1) > 0) {
    }
    if (chdir(path_.c_str()) != 0) _exit(127);
    if (call.as_nobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(126);
    std::vector<char*> argp = pointers(argv);
    std::vector<char*> envp = pointers(env);
    execve(file.c_str(), argp.data(), envp.data());
    _exit(127);
  }
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  if (pid < 0 && out_pipe[0] >= 0) close(out_pipe[0]);
  return pid < 0 ? Running{} : Running{pid, out_pipe[0]};
}

Outcome finish(Running running) {
  Outcome outcome;
  if (running.pid < 0) return outcome;
  const pid_t pid = running.pid;
  const int fd = running.out_fd;
  char buf[65536];
  pollfd watch{fd, POLLIN, 0};
  bool timed_out = false;
  while (fd >= 0) {
    const int ready = poll(&watch, 1, kTimeoutMs);
    if (ready <= 0) {
      timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    outcome.out.append(buf, static_cast<std::size_t>(n));
  }
  if (fd >= 0) close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.exited = !timed_out && WIFEXITED(status);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

Outcome InstallDir::run(const Invocation& call) const { return finish_started(start(call), call); }

Outcome InstallDir::finish_started(Running running, Invocation call) const {
  Outcome outcome = finish(running);
  // The program always exits 0: a silent failure is Wine's start-up, not the
  // program, and nothing ran, so the run is repeated (its gate is long open).
  call.gate[0] = call.gate[1] = -1;
  for (int retry = 0; retry < 2 && under_launcher() && outcome.status != 0 && outcome.out.empty(); ++retry) {
    outcome = finish(start(call));
  }
  return outcome;
}

std::vector<std::string> web_env(const std::string& addr) { return {"REMOTE_ADDR=" + addr}; }

}  // namespace harness
