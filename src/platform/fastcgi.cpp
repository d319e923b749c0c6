// The resident way of running: a FastCGI server hands the program a listening
// socket and sends it requests. The requests already waiting are served as one
// batch: each is read with its parameters as the environment, the batch takes
// one turn, and each is answered with its output as standard output.
#include <fcgiapp.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr int kListenFd = 0;
// Answers are a few kilobytes at most: one write to the server per request.
constexpr std::size_t kOutputBuffer = 16384;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

ssize_t write_to_request(void* cookie, const char* data, std::size_t len) {
  const int written = FCGX_PutStr(data, static_cast<int>(len), static_cast<FCGX_Stream*>(cookie));
  return written < 0 ? -1 : written;
}

// While a request is read, environ is its parameters; it is the process's own
// again before the next one is read.
class ParamsScope {
 public:
  explicit ParamsScope(FCGX_Request& request) : saved_env_(environ) { environ = request.envp; }
  ~ParamsScope() { environ = saved_env_; }
  ParamsScope(const ParamsScope&) = delete;
  ParamsScope& operator=(const ParamsScope&) = delete;

 private:
  char** saved_env_;
};

// While a request is answered, environ is its parameters and stdout writes to
// it; both are the process's own again before the request is freed.
class RequestScope {
 public:
  explicit RequestScope(FCGX_Request& request) : params_(request), saved_out_(stdout) {
    static char buffer[kOutputBuffer];
    const cookie_io_functions_t io{nullptr, write_to_request, nullptr, nullptr};
    stream_ = fopencookie(request.out, "w", io);
    if (stream_ == nullptr) return;
    std::setvbuf(stream_, buffer, _IOFBF, sizeof buffer);
    stdout = stream_;
  }
  ~RequestScope() {
    if (stream_ == nullptr) return;
    std::fclose(stream_);
    stdout = saved_out_;
  }
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;
  bool ready() const { return stream_ != nullptr; }

 private:
  ParamsScope params_;
  std::FILE* saved_out_;
  std::FILE* stream_ = nullptr;
};

// Each ends the process between two requests: SIGTERM (a server or systemd
// stopping it), SIGUSR1 (libfcgi's "stop gracefully", which mod_fcgid's
// predecessors send) and SIGHUP (a terminal gone, or a supervisor's reload,
// which for a program without configuration means a restart).
constexpr int kStopSignals[] = {SIGTERM, SIGUSR1, SIGHUP};

// They stay blocked except while waiting for the next connection, so a stop
// never lands inside a request. Set before FCGX_Init, which puts libfcgi's own
// handlers only where none is set: its SIGUSR1 handler makes every later
// accept fail at once.
bool block_stop_signals(sigset_t& waiting_mask) {
  struct sigaction on_stop {};
  on_stop.sa_handler = request_stop;
  sigemptyset(&on_stop.sa_mask);
  sigset_t stops;
  sigemptyset(&stops);
  for (const int sig : kStopSignals) {
    if (sigaction(sig, &on_stop, nullptr) != 0 || sigaddset(&stops, sig) != 0) return false;
  }
  if (sigprocmask(SIG_BLOCK, &stops, &waiting_mask) != 0) return false;
  for (const int sig : kStopSignals) sigdelset(&waiting_mask, sig);
  return true;
}

// A client gone mid-answer must not end the process: the write fails (EPIPE)
// and libfcgi reports it. Set after FCGX_Init, which replaces SIG_IGN with an
// empty handler of its own.
bool ignore_broken_pipes() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// Several processes may share the socket: the one that loses the race for a
// connection gets EAGAIN instead of blocking with SIGTERM held off.
bool make_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// ppoll returns a ready connection before a pending signal and blocks it again
// undelivered, so under steady load a stop signal from a request is only pending.
bool stop_pending() {
  sigset_t pending;
  if (stop_requested != 0) return true;
  if (sigpending(&pending) != 0) return false;
  for (const int sig : kStopSignals) {
    if (sigismember(&pending, sig) == 1) return true;
  }
  return false;
}

// Waits for a connection with the stop signals let through; false once stopped.
bool wait_for_connection(const sigset_t& waiting_mask) {
  struct pollfd listener {kListenFd, POLLIN, 0};
  while (!stop_pending()) {
    const int ready = ppoll(&listener, 1, nullptr, &waiting_mask);
    if (ready > 0 && (listener.revents & (POLLERR | POLLNVAL)) != 0) return false;
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

// A failed accept while a connection still waits made no progress: this many
// in a row is a library stuck in a state it cannot leave, never a lost race.
constexpr int kMaxStuckAccepts = 100;

// Whether another connection waits on the listener now.
bool connection_pending() {
  struct pollfd listener {kListenFd, POLLIN, 0};
  return poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN) != 0;
}

// Accepts the connections already waiting, the first one included, up to the
// bound: how many were accepted; error is the first accept's failure, 0 where it succeeded.
int accept_batch(FCGX_Request (&batch)[kBatchLimit], int& error) {
  int count = 0;
  error = 0;
  while (count < kBatchLimit && (count == 0 || connection_pending())) {
    const int accepted = FCGX_Accept_r(&batch[count]);
    if (accepted < 0) {
      if (count == 0) error = accepted;
      break;
    }
    // The next request is only waited for on the listener: a connection the server
    // asked to keep (nginx's fastcgi_keep_conn) would hold it unread, so close it.
    batch[count++].keepConnection = 0;
  }
  return count;
}

// Reads every request of the batch, takes their one turn, then answers each.
void serve_batch(FCGX_Request (&batch)[kBatchLimit], int count, char** args, const RequestSteps& steps) {
  for (int slot = 0; slot < count; ++slot) {
    const ParamsScope scope(batch[slot]);
    // Each request is a fresh run: its arguments come from its own query.
    steps.read(slot, 1, args);
  }
  steps.turn(count);
  for (int slot = 0; slot < count; ++slot) {
    {
      const RequestScope scope(batch[slot]);
      if (scope.ready()) steps.answer(slot);
    }
    FCGX_Finish_r(&batch[slot]);
  }
}

}  // namespace

int serve_fastcgi(char* argv0, const RequestSteps& steps) {
  static char no_name[] = "";
  char* args[] = {argv0 != nullptr ? argv0 : no_name, nullptr};
  sigset_t waiting_mask;
  if (!block_stop_signals(waiting_mask) || !make_nonblocking(kListenFd) || FCGX_Init() != 0 ||
      !ignore_broken_pipes()) {
    return 1;
  }
  // The server's time zone, read once, before any request's parameters stand in for the environment.
  tzset();
  static FCGX_Request batch[kBatchLimit];
  for (FCGX_Request& request : batch) {
    if (FCGX_InitRequest(&request, kListenFd, 0) != 0) return 1;
  }
  int stuck = 0;
  while (wait_for_connection(waiting_mask)) {
    int error = 0;
    const int count = accept_batch(batch, error);
    if (count > 0) {
      stuck = 0;
      serve_batch(batch, count, args, steps);
      continue;
    }
    // Another process took the connection, or it closed before its request came.
    if (error == -EAGAIN || error == -EINTR) {
      stuck = connection_pending() ? stuck + 1 : 0;
      if (stuck < kMaxStuckAccepts) continue;
    }
    if (stop_requested != 0) return 0;
    std::fprintf(stderr, "lumicount: cannot accept FastCGI connections (%s)%s\n", std::strerror(-error),
                 stuck > 0 ? ", though one waits" : "");
    return 1;
  }
  return 0;
}

}  // namespace platform

// Host names are for libfcgi's socket opening, which this program never calls.
extern "C" struct hostent* __wrap_gethostbyname(const char*) { return nullptr; }
