// A run serves a batch of requests in three steps: each request is read, the
// batch takes one turn for the log and the counters, then each is answered.
// A CGI or console run is a batch of one.
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/image.h"
#include "request/request.h"

namespace {

// The requests read for the next turn.
Request requests[platform::kBatchLimit];
platform::QueryArguments built[platform::kBatchLimit];
RunContext run;
// Room for the counters a turn names, each made when first named and gone when
// the turn ends: nothing to make at start-up or to end at exit.
alignas(Counter) unsigned char counter_room[platform::kBatchLimit][sizeof(Counter)];

Counter& counter_at(int index) { return *std::launder(reinterpret_cast<Counter*>(counter_room[index])); }

// A counter is named by a non-empty argument 1, alone or with a non-empty style.
bool names_counter(int argc, char** argv) {
  if (argc != 2 && argc != 3) return false;
  if (argv[1][0] == '\0') return false;
  return argc == 2 || argv[2][0] != '\0';
}

const char* program_path(const Request& request) { return request.argc > 0 ? request.argv[0] : nullptr; }

// One turn serves requests of one kind from one program: all logged or none, one install directory.
bool alike(const Request* batch, int count) {
  const char* program = program_path(batch[0]);
  for (int k = 1; k < count; ++k) {
    const char* other = program_path(batch[k]);
    if (batch[k].web_request != batch[0].web_request) return false;
    if (other != program && (other == nullptr || program == nullptr || std::strcmp(other, program) != 0)) return false;
  }
  return true;
}

void fail(Request& request, RequestMode mode, const char* path) {
  request.mode = mode;
  std::strcpy(request.failed_path, path);
}

void decide_all(Request* batch, int count, RequestMode mode, const char* path) {
  for (int k = 0; k < count; ++k) fail(batch[k], mode, path);
}

// The counters a turn opened, closed when it ends.
class OpenCounters {
 public:
  OpenCounters() = default;
  ~OpenCounters() {
    for (int i = 0; i < used; ++i) counter_at(i).~Counter();
  }
  OpenCounters(const OpenCounters&) = delete;
  OpenCounters& operator=(const OpenCounters&) = delete;

  // The counter of this name: the one already open at its path, or a newly opened one.
  int find(const char* name) {
    Counter& fresh = *new (counter_room[used]) Counter;
    const bool named = join_path(fresh.path, run.install_dir, name, ".ini");
    int found = named ? used : kNoCounter;
    for (int i = 0; i < used && named; ++i) {
      if (std::strcmp(counter_at(i).path, fresh.path) == 0) found = i;
    }
    if (found != used) {
      fresh.~Counter();
      return found;
    }
    fresh.opened = open_counter(fresh, run);
    return used++;
  }

  // Two names for one file: a run's write would change what a later run reads there.
  bool share_a_file(const platform::LockedFile& log) const {
    for (int i = 0; i < used; ++i) {
      if (counter_at(i).file.same_file(log)) return true;
      for (int j = 0; j < i; ++j) {
        if (counter_at(i).file.same_file(counter_at(j).file)) return true;
      }
    }
    return false;
  }

  int used = 0;
};

// What a request asks for, up to its counter's count.
void decide(Request& request, OpenCounters& open) {
  request.counter = kNoCounter;
  if (!names_counter(request.argc, request.argv)) {
    request.mode = request.web_request ? RequestMode::information_page : RequestMode::console_banner;
    return;
  }
  const char* name = request.argv[1];
  // A refused name, or one whose path does not fit: no answer at all.
  request.mode = RequestMode::silent_exit;
  if (!validate_name(name)) return;
  request.counter = open.find(name);
  if (request.counter == kNoCounter) return;
  const Counter& counter = counter_at(request.counter);
  switch (counter.opened) {
    case CounterOpen::opened: request.mode = RequestMode::counter_image; break;
    case CounterOpen::missing: request.mode = RequestMode::parameter_warning; break;
    // The file system failed: the counter may well be there, and must not read as missing.
    case CounterOpen::failed: fail(request, RequestMode::counter_failure, counter.path); break;
  }
}

// Reads a counter once; each request showing it gets its own count, in order,
// and the last is stored once.
void advance(int index, Request* batch, int count) {
  Counter& counter = counter_at(index);
  int value = 0;
  bool done = read_counter(counter.file, value);
  // A counter that may not be written is still shown advanced.
  const bool store = run.stores && counter.file.writable();
  for (int k = 0; k < count && done; ++k) {
    if (batch[k].counter != index || batch[k].mode != RequestMode::counter_image) continue;
    batch[k].count = next_count(value);
    if (store) value = batch[k].count;
  }
  done = done && (!store || store_counter(counter.file, value));
  for (int k = 0; k < count && !done; ++k) {
    if (batch[k].counter == index && batch[k].mode == RequestMode::counter_image) {
      fail(batch[k], RequestMode::counter_failure, counter.path);
    }
  }
}

// The decision flow of a run, for the requests of one turn, each as if run
// after the one before: log, arguments, counter. False, with nothing written,
// where only one turn each gives that.
bool take_turn(Request* batch, int count) {
  if (count > 1 && !alike(batch, count)) return false;
  run.web_request = batch[0].web_request;
  run.locked = run.stores = false;
  find_install_dir(program_path(batch[0]), run.install_dir);

  // Held by web requests until their counters are stored; the pictures are drawn after.
  platform::RunLock lock;
  FileBytes file_bytes;
  platform::LockedFile log;
  if (run.web_request) {
    if (!join_path(run.log_path, run.install_dir, "lctlog.txt", "") ||
        !join_path(run.lock_path, run.install_dir, "lctlog.lck", "")) {
      decide_all(batch, count, RequestMode::silent_exit, "");
      return true;
    }
    const platform::Turn turn = lock.acquire(run.lock_path, run.log_path);
    if (turn == platform::Turn::failed) {
      decide_all(batch, count, RequestMode::log_failure, run.log_path);
      return true;
    }
    // Each file locking itself, one turn would hold the log's lock across the counters.
    if (turn == platform::Turn::per_file && count > 1) return false;
    run.locked = turn == platform::Turn::taken;
    // Without its turn a request is answered but neither logged nor counted.
    run.stores = turn != platform::Turn::unavailable;
    if (run.stores && !prepare_access_log(log, run, batch, count, file_bytes)) {
      decide_all(batch, count, RequestMode::log_failure, run.log_path);
      return true;
    }
  }
  OpenCounters open;
  // A batch opens its counters before the log is written, to see two names for
  // one file in time; one request opens its counter after, so that a counter
  // that locks itself is never waited for with the log held.
  if (count > 1) {
    for (int k = 0; k < count; ++k) decide(batch[k], open);
    if (open.share_a_file(log)) return false;
  }
  // The log is written before any counter, so no count goes unlogged.
  if (run.stores && !write_access_log(log, file_bytes)) {
    decide_all(batch, count, RequestMode::log_failure, run.log_path);
    return true;
  }
  log.close();
  if (count == 1) decide(batch[0], open);
  for (int i = 0; i < open.used; ++i) {
    if (counter_at(i).opened == CounterOpen::opened) advance(i, batch, count);
  }
  return true;
}

void write_counter_image(const Request& request) {
  const image::Canvas canvas(image::digit_count(request.count));
  // Nothing is drawn or sent for a canvas gd could not allocate.
  if (canvas.get() == nullptr) return;
  image::apply_style(canvas.get(), request.argc, request.argv);
  image::emit_counter_image(canvas.get(), request.count);
}

}  // namespace

void read_request(int slot, int argc, char** argv) {
  if (slot < 0 || slot >= platform::kBatchLimit) return;
  Request& request = requests[slot];
  // Presence counts, even with an empty value.
  request.web_request = std::getenv("REMOTE_HOST") != nullptr || std::getenv("REMOTE_ADDR") != nullptr;
  // A CGI server that left the query's words out: build them as Apache would.
  if (request.web_request && argc == 1 && std::getenv("GATEWAY_INTERFACE") != nullptr &&
      platform::build_query_arguments(std::getenv("QUERY_STRING"), argv[0], built[slot])) {
    argc = built[slot].argc;
    argv = built[slot].argv;
  }
  request.argc = argc;
  request.argv = argv;
  request.entry_len = 0;
  if (request.web_request) make_log_entry(request, slot);
}

void serve_turn(int count) {
  if (count < 1 || count > platform::kBatchLimit) return;
  if (take_turn(requests, count)) return;
  for (int k = 0; k < count; ++k) take_turn(&requests[k], 1);
}

void answer_request(int slot) {
  if (slot < 0 || slot >= platform::kBatchLimit) return;
  const Request& request = requests[slot];
  switch (request.mode) {
    case RequestMode::counter_image: write_counter_image(request); return;
    case RequestMode::parameter_warning: write_parameter_warning(request.argv[1], request.web_request); return;
    case RequestMode::information_page: write_information_page(); return;
    case RequestMode::console_banner: write_console_banner(); return;
    case RequestMode::silent_exit: return;
    case RequestMode::log_failure:
    case RequestMode::counter_failure: write_cannot_open(request.failed_path); return;
  }
}

int run_request(int argc, char** argv) {
  platform::set_binary_stdout();
  read_request(0, argc, argv);
  serve_turn(1);
  answer_request(0);
  return 0;
}
