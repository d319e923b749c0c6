// One run answers one request: log, arguments, counter, answer.
#include <cstdlib>

#include "image/image.h"
#include "request/request.h"

namespace {

// A counter is named by a non-empty argument 1, alone or with a non-empty style.
bool names_counter(int argc, char** argv) {
  if (argc != 2 && argc != 3) return false;
  if (argv[1][0] == '\0') return false;
  return argc == 2 || argv[2][0] != '\0';
}

}  // namespace

int run_request(int argc, char** argv) {
  platform::set_binary_stdout();
  static RunContext run;
  run = RunContext{};
  // Presence counts, even with an empty value.
  run.web_request = std::getenv("REMOTE_HOST") != nullptr || std::getenv("REMOTE_ADDR") != nullptr;
  // A CGI server that left the query's words out: build them as Apache would.
  static platform::QueryArguments built;
  if (run.web_request && argc == 1 && std::getenv("GATEWAY_INTERFACE") != nullptr &&
      platform::build_query_arguments(std::getenv("QUERY_STRING"), argv[0], built)) {
    argc = built.argc;
    argv = built.argv;
  }
  run.argc = argc;
  run.argv = argv;
  find_install_dir(argc > 0 ? argv[0] : nullptr, run.install_dir);

  // Held by a web request until its counter is stored; the picture is drawn after.
  platform::RunLock lock;
  if (run.web_request) {
    if (!join_path(run.log_path, run.install_dir, "lctlog.txt", "")) return 0;
    if (!join_path(run.lock_path, run.install_dir, "lctlog.lck", "")) return 0;
    const platform::Turn turn = lock.acquire(run.lock_path, run.log_path);
    if (turn == platform::Turn::failed) {
      write_cannot_open(run.log_path);
      return 0;
    }
    run.locked = turn == platform::Turn::taken;
    // Without its turn a request is answered but neither logged nor counted.
    run.stores = turn != platform::Turn::unavailable;
    if (run.stores && rewrite_access_log(run) == LogResult::cannot_write) return 0;
  }
  if (!names_counter(argc, argv)) {
    if (run.web_request) {
      write_information_page();
    } else {
      write_console_banner();
    }
    return 0;
  }
  const char* name = argv[1];
  if (!validate_name(name)) return 0;

  int count = 0;
  {
    // The counter file is open only while it is read, advanced and stored.
    platform::LockedFile counter;
    const CounterOpen opened = open_counter(counter, run, name);
    if (opened == CounterOpen::path_too_long) return 0;
    if (opened == CounterOpen::missing) {
      write_parameter_warning(name, run.web_request);
      return 0;
    }
    // The file system failed: the counter may well be there, and must not read as missing.
    if (opened == CounterOpen::failed || !read_and_advance_counter(counter, run.stores, count)) {
      write_cannot_open(run.counter_path);
      return 0;
    }
  }
  lock.release();

  const image::Canvas canvas(image::digit_count(count));
  // Nothing is drawn or sent for a canvas gd could not allocate.
  if (canvas.get() == nullptr) return 0;
  image::apply_style(canvas.get(), argc, argv);
  image::emit_counter_image(canvas.get(), count);
  return 0;
}
