// Runs the built program as a web server or a console would: its own
// argument 0, arguments and environment, in a throw-away install directory.
#pragma once

#include <string>
#include <vector>

namespace harness {

struct Invocation {
  std::string argv0;               // empty: the program's path in the install directory
  std::vector<std::string> args;   // arguments 1 and on
  std::vector<std::string> env;    // "NAME=value"; nothing else is inherited
  bool as_nobody = false;          // drop root for the run, as a web server does
  int gate[2] = {-1, -1};          // a pipe: the run starts once the test closes its write end
  std::string out_file = {};       // when set, standard output goes to this file instead of a pipe
  std::vector<std::string> wrapper = {};  // a program that runs the program, such as strace
};

struct Outcome {
  bool exited = false;  // false: killed by a signal or timed out
  int status = -1;
  std::string out;      // every byte of standard output
};

struct Running {
  int pid = -1;
  int out_fd = -1;  // -1 when the output goes to a file
};

// When set, every run goes through LUMICOUNT_LAUNCHER (Wine), and cases that
// choose their own argument 0 do not apply.
bool under_launcher();

constexpr unsigned kNobody = 65534;

class InstallDir {
 public:
  InstallDir();
  ~InstallDir();
  InstallDir(const InstallDir&) = delete;
  InstallDir& operator=(const InstallDir&) = delete;

  const std::string& path() const { return path_; }
  std::string program() const;
  // The install directory as the program names it: "Z:\\tmp\\...\\" under Wine.
  std::string seen_by_program() const;
  void write(const std::string& name, const std::string& bytes) const;
  std::string read(const std::string& name) const;  // "<missing>" when absent
  bool exists(const std::string& name) const;
  void make_dir(const std::string& name) const;
  // The directory and its files belong to nobody, who may not write the directory.
  void give_to_nobody_read_only() const;
  std::vector<std::string> names() const;  // files in the directory, sorted

  Outcome run(const Invocation& call) const;
  // Starts a run without waiting; finish() collects it.
  Running start(const Invocation& call) const;
  // Collects a started run as run() does: a Wine start-up failure is run again, ungated.
  Outcome finish_started(Running running, Invocation call) const;

 private:
  std::string path_;
};

Outcome finish(Running running);
std::vector<std::string> web_env(const std::string& addr = "192.0.2.7");

}  // namespace harness
