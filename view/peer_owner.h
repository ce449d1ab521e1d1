// Who opened a loopback connection: the user id of the peer's socket, asked of the kernel's
// socket-diagnostics interface (NETLINK_SOCK_DIAG, what `ss -e` reads). The live view admits by
// it: another user's flood never evicts a connection of the job's own user. System calls only.
#pragma once

#include <sys/types.h>

#include <optional>

namespace view {

// One netlink socket, opened once and kept (one descriptor for the server's life).
class PeerOwner {
 public:
  PeerOwner();
  ~PeerOwner();
  PeerOwner(const PeerOwner&) = delete;
  PeerOwner& operator=(const PeerOwner&) = delete;

  // The uid owning the other end of the accepted TCP connection `fd`, when that end is a socket
  // on this machine and the kernel answers (within a few microseconds; nothing when it cannot).
  std::optional<uid_t> Of(int fd);

 private:
  int netlink_ = -1;
  unsigned sequence_ = 0;
};

}  // namespace view
