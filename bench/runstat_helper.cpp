// Runs a command and writes what it cost to a file, for the end-to-end benchmarks:
//
//   runstat_helper STATS_FILE COMMAND [ARGS...]
//
// STATS_FILE receives one line "wall_s user_s sys_s maxrss_kb exit_status": the wall time
// from fork to reaping, the child's CPU times and its peak resident set size (getrusage of
// the reaped child, which is its VmHWM), without relying on /usr/bin/time being installed.
// The command's own output and exit status pass through (the status is also this program's).

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s STATS_FILE COMMAND [ARGS...]\n", argv[0]);
    return 2;
  }
  timespec t0{}, t1{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) {
    perror("wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double wall = static_cast<double>(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* f = fopen(argv[1], "w");
  if (!f) {
    perror(argv[1]);
    return 2;
  }
  fprintf(f, "%.6f %.6f %.6f %ld %d\n", wall, seconds(ru.ru_utime), seconds(ru.ru_stime),
          ru.ru_maxrss, code);
  if (fclose(f) != 0) {
    perror(argv[1]);
    return 2;
  }
  return code;
}
