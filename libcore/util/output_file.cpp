#include "util/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "util/cvlog.h"

namespace {

constexpr size_t output_buffer_size = 1 << 16;

// --- Scratch files removed on a signal ------------------------------------------------------
// Fixed storage: the handler may only read plain memory and call unlink().
constexpr int scratch_slots = 32;
constexpr size_t scratch_name_max = 4096;
char scratch_names[scratch_slots][scratch_name_max];
volatile sig_atomic_t scratch_used[scratch_slots];
bool handlers_installed = false;

constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void scratch_signal_handler(int sig) {
  for (int i = 0; i < scratch_slots; ++i) {
    if (scratch_used[i]) unlink(scratch_names[i]);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_handlers() {
  if (handlers_installed) return;
  handlers_installed = true;
  for (int sig : cleanup_signals) {
    struct sigaction sa {};
    sa.sa_handler = scratch_signal_handler;
    sigemptyset(&sa.sa_mask);
    for (int other : cleanup_signals) sigaddset(&sa.sa_mask, other);
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;  // a signal the caller chose to ignore (nohup, a pipeline) stays ignored
    }
    sigaction(sig, &sa, nullptr);
  }
}

// --- The checked stream ---------------------------------------------------------------------

struct cookie_state {
  output_file* owner;
  int fd;
};

ssize_t cookie_write(void* cookie, const char* buf, size_t size) {
  auto* c = static_cast<cookie_state*>(cookie);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(c->fd, buf + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      c->owner->note_error(errno, "write");
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    if (n == 0) {
      c->owner->note_error(EIO, "write");
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int cookie_close(void* cookie) {
  auto* c = static_cast<cookie_state*>(cookie);
  // A close interrupted by a signal has still released the descriptor on Linux.
  const bool failed = close(c->fd) != 0 && errno != EINTR;
  if (failed) c->owner->note_error(errno, "close");
  delete c;  // allocated in output_file::open; the stream owns it
  return failed ? -1 : 0;
}

}  // namespace

int scratch_file_create(const char* path, mode_t mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path, flags, mode);
  if (fd < 0 && errno == EEXIST) {
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    fd = open(path, flags, mode);
  }
  return fd;
}

bool scratch_file_track(const std::string& path) {
  if (path.size() >= scratch_name_max) return false;
  for (int i = 0; i < scratch_slots; ++i) {
    if (scratch_used[i]) continue;
    memcpy(scratch_names[i], path.c_str(), path.size() + 1);
    scratch_used[i] = 1;
    install_handlers();
    return true;
  }
  return false;
}

void scratch_file_untrack(const std::string& path) {
  for (int i = 0; i < scratch_slots; ++i) {
    if (scratch_used[i] && path == scratch_names[i]) {
      scratch_used[i] = 0;
      return;
    }
  }
}

bool file_same(const char* a, const char* b) {
  auto examine = [](const char* p, struct stat* st) {
    if (strcmp(p, "-") == 0) return fstat(STDIN_FILENO, st) == 0;
    return stat(p, st) == 0;
  };
  struct stat sa, sb;
  if (!examine(a, &sa) || !examine(b, &sb)) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

const char* output_clashes_with_inputs(const char* output, std::span<const std::string> inputs) {
  if (output == nullptr || strcmp(output, "-") == 0) return nullptr;
  struct stat so;
  if (stat(output, &so) != 0) return nullptr;
  for (const std::string& in : inputs) {
    if (file_same(output, in.c_str())) return in.c_str();
  }
  return nullptr;
}

output_file::~output_file() { discard(); }

bool output_file::open(const char* path, mode_t mode, const std::string& temp_path) {
  discard();
  error_ = 0;
  step_ = "";
  path_.clear();
  temp_.clear();
  if (path == nullptr || strcmp(path, "-") == 0) {
    stream_ = stdout;
    open_ = true;
    return true;
  }
  path_ = path;
  struct stat st;
  int fd = -1;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
  } else {
    temp_ = temp_path.empty() ? path_ + "." + std::to_string(getpid()) + ".tmp" : temp_path;
    fd = scratch_file_create(temp_.c_str(), mode);
    if (fd < 0) {
      temp_.clear();
      return false;
    }
    scratch_file_track(temp_);
  }
  auto* cookie = new cookie_state{this, fd};  // owned by the stream, freed in cookie_close
  cookie_io_functions_t io{};
  io.write = cookie_write;
  io.close = cookie_close;
  stream_ = fopencookie(cookie, "w", io);
  if (stream_ == nullptr) {
    int e = errno;
    delete cookie;
    close(fd);
    if (!temp_.empty()) {
      unlink(temp_.c_str());
      scratch_file_untrack(temp_);
      temp_.clear();
    }
    errno = e;
    return false;
  }
  setvbuf(stream_, nullptr, _IOFBF, output_buffer_size);
  open_ = true;
  return true;
}

void output_file::close_stream() {
  if (stream_ == nullptr) return;
  if (stream_ == stdout) {
    errno = 0;
    if ((fflush(stdout) != 0 || ferror(stdout)) && error_ == 0) {
      error_ = errno != 0 ? errno : EIO;
      step_ = "write";
    }
  } else {
    if (fflush(stream_) != 0 && error_ == 0) {
      error_ = errno != 0 ? errno : EIO;
      step_ = "write";
    }
    if (ferror(stream_) && error_ == 0) {
      error_ = EIO;
      step_ = "write";
    }
    errno = 0;
    if (fclose(stream_) != 0 && error_ == 0) {
      error_ = errno != 0 ? errno : EIO;
      step_ = "close";
    }
  }
  stream_ = nullptr;
}

bool output_file::commit() {
  if (!open_) return error_ == 0;
  close_stream();
  open_ = false;
  if (error_ == 0 && !temp_.empty()) {
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
      error_ = errno;
      step_ = "rename";
    }
  }
  if (!temp_.empty()) {
    if (error_ != 0) unlink(temp_.c_str());
    scratch_file_untrack(temp_);
  }
  if (error_ != 0) {
    errno = error_;
    return false;
  }
  return true;
}

bool output_file::commit_or_report() {
  if (commit()) return true;
  cvlog_send(CVLOG_ERROR, "Failed to write %s: %s\n", name(), strerror(error_));
  return false;
}

void output_file::discard() {
  if (!open_) return;
  int saved = errno;
  int saved_error = error_;
  close_stream();
  error_ = saved_error;
  open_ = false;
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    scratch_file_untrack(temp_);
  }
  errno = saved;
}
