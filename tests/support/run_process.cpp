#include "support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string cv_bin(const std::string& name) { return std::string(CV_BIN_DIR) + "/" + name; }

cv_run_result cv_run(const std::vector<std::string>& argv, const std::string& input,
                     const std::string& cwd) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe");
  std::string prog = argv.at(0);
  if (prog.find('/') == std::string::npos) prog = cv_bin(prog);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args[0] = const_cast<char*>(prog.c_str());
    args.push_back(nullptr);
    execv(prog.c_str(), args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);

  cv_run_result r;
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    int oi = -1, ei = -1, ii = -1;
    if (out_open) { fds[n] = {out_pipe[0], POLLIN, 0}; oi = n++; }
    if (err_open) { fds[n] = {err_pipe[0], POLLIN, 0}; ei = n++; }
    if (in_fd >= 0) { fds[n] = {in_fd, POLLOUT, 0}; ii = n++; }
    if (poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ii >= 0 && (fds[ii].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in_fd, input.data() + written, input.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w < 0 && errno != EAGAIN) written = input.size();
      if (written == input.size()) {
        close(in_fd);
        in_fd = -1;
      }
    }
    if (oi >= 0 && (fds[oi].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(out_pipe[0], buf, sizeof buf);
      if (k > 0) r.out.append(buf, static_cast<size_t>(k)); else out_open = false;
    }
    if (ei >= 0 && (fds[ei].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t k = read(err_pipe[0], buf, sizeof buf);
      if (k > 0) r.err.append(buf, static_cast<size_t>(k)); else err_open = false;
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);
  return r;
}

cv_tempdir::cv_tempdir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "cvtest.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

cv_tempdir::~cv_tempdir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string cv_tempdir::write(const std::string& name, const std::string& content) const {
  std::string p = path_ + "/" + name;
  std::ofstream f(p, std::ios::binary);
  f << content;
  return p;
}

std::string cv_tempdir::read(const std::string& name) const {
  std::string p = name.starts_with("/") ? name : path_ + "/" + name;
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
