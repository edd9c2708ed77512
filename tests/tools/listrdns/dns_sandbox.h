#pragma once
// A private DNS world for the end-to-end tests of cvlistrdns.
//
// dns_sandbox_enter moves the test process into a network namespace of its own that holds
// only a loopback interface (with a user namespace too when the process is not root), so that
// no query can leave the machine and port 53 can be bound. Programs started afterwards
// inherit it. dns_server runs dnsmasq in the foreground (debug mode, which keeps its user)
// inside it, with no upstream server,
// no configuration file, no hosts file, and only the records the test gives, and stops it by
// its process id.

#include <sys/types.h>

#include <string>
#include <vector>

// Enters the sandbox (once per process). Returns false with the reason when namespaces are
// not available; the caller then skips its test.
bool dns_sandbox_enter(std::string* reason);

// Path of the dnsmasq program, or empty when it is not installed.
std::string dns_server_program();

class dns_server {
 public:
  dns_server() = default;
  ~dns_server();
  dns_server(const dns_server&) = delete;
  dns_server& operator=(const dns_server&) = delete;

  // Starts dnsmasq on 127.0.0.1 port 53 with the given record options ("--host-record=...",
  // "--cname=...", ...), logging every query to `log_path`. Waits until it listens. Returns
  // false with the reason (and its standard error) when it does not come up.
  bool start(const std::vector<std::string>& records, const std::string& log_path,
             std::string* error);
  // Stops it (SIGTERM, then waits for it). Idempotent.
  void stop();

  // Number of queries of `type` ("A", "AAAA", "CNAME") for `name` in the log so far.
  int queries(const std::string& type, const std::string& name) const;

 private:
  pid_t pid_ = -1;
  std::string log_;
};
