#include "dns_sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

bool write_file(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool loopback_up(std::string* reason) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *reason = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  if (ok) {
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  }
  if (!ok) *reason = std::string("cannot bring the loopback interface up: ") + strerror(errno);
  close(s);
  return ok;
}

// Only a loopback interface may exist in the sandbox.
bool only_loopback(std::string* reason) {
  std::ifstream f("/proc/net/dev");
  std::string line;
  int n = 0;
  while (std::getline(f, line)) {
    if (++n <= 2) continue;
    std::string name = line.substr(0, line.find(':'));
    name.erase(0, name.find_first_not_of(' '));
    if (name != "lo") {
      *reason = "the network namespace holds interface " + name;
      return false;
    }
  }
  return true;
}

}  // namespace

bool dns_sandbox_enter(std::string* reason) {
  static int state = 0;  // 0 not tried, 1 inside, -1 unavailable
  static std::string why;
  if (state == 0) {
    state = -1;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0 && unshare(CLONE_NEWNET) == 0) {
      state = 1;
    } else if (unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
      write_file("/proc/self/setgroups", "deny");
      if (write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
          write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        state = 1;
      } else {
        why = "cannot map the user into the new user namespace";
      }
    } else {
      why = std::string("network namespaces unavailable (unshare: ") + strerror(errno) + ")";
    }
    if (state == 1 && (!loopback_up(&why) || !only_loopback(&why))) state = -1;
  }
  if (state != 1) *reason = why;
  return state == 1;
}

std::string dns_server_program() {
  for (const char* p : {"/usr/sbin/dnsmasq", "/usr/bin/dnsmasq", "/sbin/dnsmasq"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return {};
}

dns_server::~dns_server() { stop(); }

bool dns_server::start(const std::vector<std::string>& records, const std::string& log_path,
                       std::string* error) {
  std::string prog = dns_server_program();
  if (prog.empty()) {
    *error = "dnsmasq is not installed";
    return false;
  }
  log_ = log_path;
  std::string err_path = log_path + ".stderr";
  std::vector<std::string> args = {prog,
                                    // Foreground, and no change of user or group, which a
                                    // user namespace that maps only one id would refuse.
                                    "--no-daemon",
                                    "--conf-file=/dev/null",
                                    "--no-resolv",
                                    "--no-hosts",
                                    "--no-poll",
                                    "--port=53",
                                    "--listen-address=127.0.0.1",
                                    "--bind-interfaces",
                                    "--pid-file=",
                                    "--log-queries",
                                    "--log-facility=" + log_path};
  args.insert(args.end(), records.begin(), records.end());
  pid_ = fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    int fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  // Listening: binding the same address and port fails once dnsmasq holds it.
  for (int i = 0; i < 500; ++i) {
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      std::ifstream f(err_path);
      std::stringstream s;
      s << f.rdbuf();
      *error = "dnsmasq exited: " + s.str();
      return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool taken = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    close(s);
    if (taken) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  *error = "dnsmasq did not start listening within 5 seconds";
  stop();
  return false;
}

void dns_server::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int st = 0;
  while (waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

int dns_server::queries(const std::string& type, const std::string& name) const {
  std::ifstream f(log_);
  std::string line;
  std::string needle = "query[" + type + "] " + name + " from ";
  int n = 0;
  while (std::getline(f, line)) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}
