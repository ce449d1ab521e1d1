// The peer's uid through one exact INET_DIAG lookup of the connection seen from the peer's side.
#include "peer_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace view {

PeerOwner::PeerOwner() {
  netlink_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (netlink_ >= 0) {
    // The kernel answers at once; a bounded wait keeps a lost answer from holding the loop.
    timeval wait{0, 20000};
    setsockopt(netlink_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
}

PeerOwner::~PeerOwner() {
  if (netlink_ >= 0) close(netlink_);
}

std::optional<uid_t> PeerOwner::Of(int fd) {
  if (netlink_ < 0) return std::nullopt;
  sockaddr_storage ours{}, theirs{};
  socklen_t oursLength = sizeof ours, theirsLength = sizeof theirs;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &oursLength) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirsLength) != 0 ||
      ours.ss_family != theirs.ss_family) {
    return std::nullopt;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = ++sequence_;
  inet_diag_req_v2& request = message.request;
  request.sdiag_family = static_cast<__u8>(ours.ss_family);
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  // The peer's socket: its source is their address, its destination ours.
  inet_diag_sockid& id = request.id;
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (ours.ss_family == AF_INET) {
    const auto& us = reinterpret_cast<const sockaddr_in&>(ours);
    const auto& them = reinterpret_cast<const sockaddr_in&>(theirs);
    id.idiag_sport = them.sin_port;
    id.idiag_dport = us.sin_port;
    std::memcpy(id.idiag_src, &them.sin_addr, sizeof them.sin_addr);
    std::memcpy(id.idiag_dst, &us.sin_addr, sizeof us.sin_addr);
  } else if (ours.ss_family == AF_INET6) {
    const auto& us = reinterpret_cast<const sockaddr_in6&>(ours);
    const auto& them = reinterpret_cast<const sockaddr_in6&>(theirs);
    id.idiag_sport = them.sin6_port;
    id.idiag_dport = us.sin6_port;
    std::memcpy(id.idiag_src, &them.sin6_addr, sizeof them.sin6_addr);
    std::memcpy(id.idiag_dst, &us.sin6_addr, sizeof us.sin6_addr);
  } else {
    return std::nullopt;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(netlink_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
    return std::nullopt;
  }
  // Answers to earlier lookups that timed out may still be queued: skip them by sequence.
  alignas(nlmsghdr) char buffer[8192];
  for (int replies = 0; replies < 8; ++replies) {
    const ssize_t got = recv(netlink_, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    auto length = static_cast<unsigned>(got);
    for (auto* reply = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(reply, length);
         reply = NLMSG_NEXT(reply, length)) {
      if (reply->nlmsg_seq != sequence_) continue;
      if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        return std::nullopt;  // NLMSG_ERROR: no such socket here (the peer is elsewhere or gone)
      }
      return static_cast<const inet_diag_msg*>(NLMSG_DATA(reply))->idiag_uid;
    }
  }
  return std::nullopt;
}

}  // namespace view
