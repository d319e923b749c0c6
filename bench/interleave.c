/* Times programs round after round, one run of each per round in turn, so that
 * the machine's drift touches all of them alike; prints median, p10 and p90 of
 * each, its median page faults (as the kernel counts them for the child, from
 * fork to exit), and the first program's median over each other's.
 * usage: interleave ROUNDS PROGRAM...   (each run as PROGRAM b 1 in its own
 * directory, with the caller's environment and standard output on /dev/null) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MAX_PROGRAMS = 4, MAX_ROUNDS = 100000, WARMUP = 20, PATH_MAX_LEN = 4096 };

static double times[MAX_PROGRAMS][MAX_ROUNDS];
static double faults[MAX_PROGRAMS][MAX_ROUNDS];

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

/* One run of program with argument 0 its path and its directory as working
 * directory. posix_spawn shares the caller's memory until the exec, so every
 * page fault counted is the program's own, as perf stat counts them. */
static double run_once(const char *program, double *page_faults) {
  char dir[PATH_MAX_LEN];
  char *slash;
  char *args[] = {(char *)program, "b", "1", NULL};
  posix_spawn_file_actions_t actions;
  pid_t pid = -1;
  int status = 0;
  struct rusage usage;
  double began;
  snprintf(dir, sizeof dir, "%s", program);
  slash = strrchr(dir, '/');
  if (slash) *slash = '\0';
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (slash) posix_spawn_file_actions_addchdir_np(&actions, dir);
  began = now_ms();
  if (posix_spawn(&pid, program, &actions, NULL, args, environ) != 0 || wait4(pid, &status, 0, &usage) != pid ||
      !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "interleave: %s failed\n", program);
    exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  *page_faults = (double)(usage.ru_minflt + usage.ru_majflt);
  return now_ms() - began;
}

static int by_value(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

static double quantile(const double *sorted, int n, int percent) { return sorted[(long)(n - 1) * percent / 100]; }

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 0;
  int programs = argc - 2;
  double median[MAX_PROGRAMS];
  if (rounds < 1 || rounds > MAX_ROUNDS || programs < 1 || programs > MAX_PROGRAMS) {
    fprintf(stderr, "usage: interleave ROUNDS PROGRAM... (1 to %d rounds, 1 to %d programs)\n", MAX_ROUNDS,
            MAX_PROGRAMS);
    return 2;
  }
  for (int r = -WARMUP; r < rounds; r++) {
    for (int p = 0; p < programs; p++) {
      double f = 0;
      double t = run_once(argv[p + 2], &f);
      if (r >= 0) {
        times[p][r] = t;
        faults[p][r] = f;
      }
    }
  }
  printf("rounds %d\n", rounds);
  for (int p = 0; p < programs; p++) {
    qsort(times[p], (size_t)rounds, sizeof times[p][0], by_value);
    qsort(faults[p], (size_t)rounds, sizeof faults[p][0], by_value);
    median[p] = quantile(times[p], rounds, 50);
    printf("program %d median %.4f p10 %.4f p90 %.4f ms faults %.0f %s\n", p, median[p],
           quantile(times[p], rounds, 10), quantile(times[p], rounds, 90), quantile(faults[p], rounds, 50),
           argv[p + 2]);
  }
  for (int p = 1; p < programs; p++) printf("ratio 0/%d %.3f\n", p, median[0] / median[p]);
  return 0;
}
