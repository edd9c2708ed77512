// Watches the loopback interface for the listrdns benchmark and measures the send rate of
// DNS queries as the wire sees it, with the kernel's receive time stamps (a server's log
// shows when the server got round to a query, which under load lags and bunches up):
//
//   listrdns_helper STATS_FILE
//
// Runs until SIGINT or SIGTERM, then writes to STATS_FILE one line
//   "requests first_s last_s max_in_any_1s_window max_in_any_wall_second dropped
//    retransmissions max_packets_in_any_1s_window"
// followed by one line per wall-clock second "second count". Only IPv4 UDP queries of type
// A to port 53 are counted (one per name sent: the AAAA query of each name goes with it).
// A query whose id and name were seen before is the resolver library's own retransmission
// of an unanswered request (after 2 s): it is counted apart, and the windows are given both
// for requests and for all packets.
// Needs CAP_NET_RAW, which the benchmark has inside its own network namespace.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

volatile sig_atomic_t stop = 0;
void on_signal(int) { stop = 1; }

// True when the UDP payload is a DNS query whose first question asks for an A record; *key
// receives its id and question name.
bool is_a_query(const unsigned char* p, size_t n, std::string* key) {
  if (n < 12 || (p[2] & 0x80) != 0) return false;  // too short, or a response
  size_t i = 12;
  while (i < n && p[i] != 0) {
    if ((p[i] & 0xc0) != 0) return false;
    i += 1 + p[i];
  }
  if (i + 3 > n) return false;
  key->assign(reinterpret_cast<const char*>(p), 2);
  key->append(reinterpret_cast<const char*>(p + 12), i - 12);
  return p[i + 1] == 0 && p[i + 2] == 1;
}

size_t max_in_window(const std::vector<int64_t>& t) {
  size_t best = 0;
  for (size_t i = 0, j = 0; i < t.size(); ++i) {
    while (j < t.size() && t[j] < t[i] + 1000000000) ++j;
    best = std::max(best, j - i);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s STATS_FILE\n", argv[0]);
    return 2;
  }
  int s = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
  if (s < 0) {
    perror("listrdns_helper: packet socket");
    return 1;
  }
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  int buf = 64 << 20;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  std::vector<int64_t> times;    // requests
  std::vector<int64_t> packets;  // requests and retransmissions
  std::unordered_set<std::string> seen;
  std::string key;
  times.reserve(1 << 20);
  packets.reserve(1 << 20);
  unsigned char pkt[2048];
  char control[256];
  while (!stop) {
    pollfd pfd{s, POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) continue;
    sockaddr_ll from{};
    iovec iov{pkt, sizeof pkt};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s, &msg, MSG_DONTWAIT);
    if (n <= 0) continue;
    // Loopback shows each packet twice: as sent and as received. Count it as received.
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    size_t len = static_cast<size_t>(n);
    if (len < sizeof(iphdr)) continue;
    const auto* ip = reinterpret_cast<const iphdr*>(pkt);
    size_t ihl = static_cast<size_t>(ip->ihl) * 4;
    if (ip->protocol != IPPROTO_UDP || len < ihl + sizeof(udphdr)) continue;
    const auto* udp = reinterpret_cast<const udphdr*>(pkt + ihl);
    if (ntohs(udp->dest) != 53) continue;
    if (!is_a_query(pkt + ihl + sizeof(udphdr), len - ihl - sizeof(udphdr), &key)) continue;
    int64_t t = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof ts);
        t = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
    }
    if (t < 0) {
      timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      t = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    packets.push_back(t);
    if (seen.insert(key).second) times.push_back(t);
  }
  tpacket_stats st{};
  socklen_t sl = sizeof st;
  getsockopt(s, SOL_PACKET, PACKET_STATISTICS, &st, &sl);

  std::sort(times.begin(), times.end());
  std::sort(packets.begin(), packets.end());
  size_t best = max_in_window(times);
  size_t best_packets = max_in_window(packets);
  std::map<int64_t, size_t> per_second;
  for (int64_t t : times) ++per_second[t / 1000000000];
  size_t best_wall = 0;
  for (const auto& [sec, c] : per_second) best_wall = std::max(best_wall, c);
  FILE* out = fopen(argv[1], "w");
  if (out == nullptr) {
    perror("listrdns_helper: stats file");
    return 1;
  }
  double first = times.empty() ? 0 : static_cast<double>(times.front()) / 1e9;
  double last = times.empty() ? 0 : static_cast<double>(times.back()) / 1e9;
  fprintf(out, "%zu %.6f %.6f %zu %zu %u %zu %zu\n", times.size(), first, last, best, best_wall,
          st.tp_drops, packets.size() - times.size(), best_packets);
  for (const auto& [sec, c] : per_second) fprintf(out, "%lld %zu\n", static_cast<long long>(sec), c);
  return fclose(out) == 0 ? 0 : 1;
}
