/* The floor of a counter request's file work: read the log and the counter,
 * write each into a new file beside it and rename that over the old one, answer
 * a bare header. No lock, no formatting, no picture: a request cannot do less.
 * Built with WAIT_FOR_DATA it also waits, as the program does, for each new
 * file's data to reach the disk before its rename, which a power cut needs.
 * Built with FASTCGI (and -lfcgi) it is a resident FastCGI responder doing the
 * same work once per request, in the directory it is started in; with BATCH
 * too, once for all the requests already waiting (at most 64): one log read
 * and written with an entry for each, the counter advanced by their number. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#ifdef FASTCGI
#include <fcgiapp.h>
#endif

/* The log on disk: 49,994 characters plus one CR per line, 302 lines at most. */
enum { LOG_MAX = 49994 + 302, COUNT_MAX = 16, BATCH_MAX = 64 };

static const char kAnswer[] = "Content-type: image/gif\n\n";
static const char kHeader[] = "lumicount.exe version 2.1 log file\r\n\r\n";
static const char kEntry[] =
    "2026/01/01 00:00 b 127.0.0.1 - Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
    "(KHTML, like Gecko) Chrome/120.0.0.0 Safari/537.36 lumicount-bench/1.0 (full log)\r\n";
enum { HEADER_LEN = sizeof kHeader - 1, ENTRY_LEN = sizeof kEntry - 1 };

static char log_text[BATCH_MAX * ENTRY_LEN + LOG_MAX];

static long read_all(const char *path, char *buf, long cap) {
  int fd = open(path, O_RDONLY);
  long n = 0;
  long got = 1;
  if (fd < 0) return 0;
  while (n < cap && got > 0) {
    got = read(fd, buf + n, (size_t)(cap - n));
    if (got > 0) n += got;
  }
  close(fd);
  return n;
}

/* The new file's name is the process's own: floors run side by side through a
 * web server must not write into one another's new file, which cut the log short. */
static void replace(const char *path, const char *data, long len) {
  char tmp[64];
  snprintf(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid());
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  if (write(fd, data, (size_t)len) == len) {
#ifdef WAIT_FOR_DATA
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
#endif
    rename(tmp, path);
  }
  close(fd);
}

/* Header, the new entries, then the old entries, read in place behind them.
 * The log keeps its size once full, as the program's does at 300 entries
 * (bench/run starts with a full one): the new entries push as much off the end. */
static void rewrite_log(long entries) {
  long news = entries * ENTRY_LEN;
  long old = read_all("lctlog.txt", log_text + news, LOG_MAX);
  long len = old > HEADER_LEN + news ? old : HEADER_LEN + news;
  memcpy(log_text, kHeader, HEADER_LEN);
  for (long i = 0; i < entries; i++) memcpy(log_text + HEADER_LEN + i * ENTRY_LEN, kEntry, ENTRY_LEN);
  replace("lctlog.txt", log_text, len < LOG_MAX ? len : LOG_MAX);
}

static void advance_counter(long by) {
  char digits[COUNT_MAX];
  long n = read_all("b.ini", digits, COUNT_MAX - 1);
  long count = 0;
  for (long i = 0; i < n && digits[i] >= '0' && digits[i] <= '9'; i++) count = count * 10 + digits[i] - '0';
  n = snprintf(digits, sizeof digits, "%ld", count + by);
  replace("b.ini", digits, n);
}

#if defined(FASTCGI) && defined(BATCH)
static int pending(int timeout_ms) {
  struct pollfd listener = {0, POLLIN, 0};
  return poll(&listener, 1, timeout_ms) > 0;
}

int main(void) {
  static FCGX_Request batch[BATCH_MAX];
  if (FCGX_Init() != 0 || fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK) != 0) return 1;
  /* libfcgi's SIGTERM handler only makes its accept fail, which this loop waits past. */
  signal(SIGTERM, SIG_DFL);
  for (int i = 0; i < BATCH_MAX; i++) FCGX_InitRequest(&batch[i], 0, 0);
  for (;;) {
    int n = 0;
    pending(-1);
    while (n < BATCH_MAX && (n == 0 || pending(0)) && FCGX_Accept_r(&batch[n]) >= 0) batch[n++].keepConnection = 0;
    if (n == 0) continue;
    rewrite_log(n);
    advance_counter(n);
    for (int i = 0; i < n; i++) {
      FCGX_PutS(kAnswer, batch[i].out);
      FCGX_Finish_r(&batch[i]);
    }
  }
}
#elif defined(FASTCGI)
int main(void) {
  FCGX_Stream *in, *out, *err;
  FCGX_ParamArray params;
  while (FCGX_Accept(&in, &out, &err, &params) >= 0) {
    rewrite_log(1);
    advance_counter(1);
    FCGX_PutS(kAnswer, out);
  }
  return 0;
}
#else
int main(void) {
  rewrite_log(1);
  advance_counter(1);
  fputs(kAnswer, stdout);
  return 0;
}
#endif
