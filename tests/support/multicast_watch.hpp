#pragma once
// Watches every interface of the test's network namespace for UDP packets
// sent to a multicast group (SSDP, mDNS, anything) while it lives; the
// packets seen are listed as "udp SRC -> GROUP:PORT". Needs root (CI runs
// the namespace tests as root); `ok()` is false when it cannot watch.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/ip.h>
#include <netinet/ip6.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class MulticastWatch {
 public:
  MulticastWatch() : fd_(socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_ALL))) {
    if (fd_ >= 0) thread_ = std::thread([this] { watch(); });
  }
  ~MulticastWatch() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void watch() {
    unsigned char buf[2048];
    while (running_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_ll from{};
      socklen_t len = sizeof from;
      const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n <= 0) continue;
      record(buf, static_cast<size_t>(n), ntohs(from.sll_protocol));
    }
  }
  void record(const unsigned char* p, size_t n, unsigned protocol) {
    char src[INET6_ADDRSTRLEN] = {}, dst[INET6_ADDRSTRLEN] = {};
    const unsigned char* udp = nullptr;
    if (protocol == ETH_P_IP && n >= sizeof(iphdr)) {
      const auto* ip = reinterpret_cast<const iphdr*>(p);
      if (ip->protocol != IPPROTO_UDP || (ntohl(ip->daddr) >> 28) != 0xE) return;  // 224.0.0.0/4
      inet_ntop(AF_INET, &ip->saddr, src, sizeof src);
      inet_ntop(AF_INET, &ip->daddr, dst, sizeof dst);
      udp = p + ip->ihl * 4;
    } else if (protocol == ETH_P_IPV6 && n >= sizeof(ip6_hdr)) {
      const auto* ip = reinterpret_cast<const ip6_hdr*>(p);
      if (ip->ip6_nxt != IPPROTO_UDP || ip->ip6_dst.s6_addr[0] != 0xFF) return;  // ff00::/8
      inet_ntop(AF_INET6, &ip->ip6_src, src, sizeof src);
      inet_ntop(AF_INET6, &ip->ip6_dst, dst, sizeof dst);
      udp = p + sizeof(ip6_hdr);
    } else {
      return;
    }
    if (udp + sizeof(udphdr) > p + n) return;
    const auto port = ntohs(reinterpret_cast<const udphdr*>(udp)->dest);
    std::lock_guard lock(mutex_);
    seen_.push_back(std::string("udp ") + src + " -> " + dst + ":" + std::to_string(port));
  }

  int fd_;
  std::atomic<bool> running_{true};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

}  // namespace test_support
