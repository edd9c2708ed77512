#include "util/program.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

bool cv_program_init() {
  bool ok = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd` itself: the ones below it are open by now.
    int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got != fd) {
      if (got >= 0) close(got);
      ok = false;
    }
  }
  signal(SIGXFSZ, SIG_IGN);
  return ok;
}

void cv_program_report_out_of_memory() {
  // stdio may need memory for its buffer; write(2) needs none.
  static const char text[] = "out of memory\n";
  ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
  (void)ignored;
}

bool cv_stdout_close_checked() {
  errno = 0;
  bool ok = fflush(stdout) == 0 && !ferror(stdout);
  int e = errno;
  if (fclose(stdout) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    fprintf(stderr, "Error writing standard output: %s\n", e != 0 ? strerror(e) : "write error");
  }
  return ok;
}
