#include "platform/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

LoopbackListener::~LoopbackListener() { close(); }

LoopbackListener::Status LoopbackListener::listen(uint16_t port, std::string* problem) {
  close();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *problem = strerror(errno);
    return Status::kFailed;
  }
  socket_ = fd;
  // As QEMU's own server sets it: a port whose last connection is still
  // winding down counts as free, one that a socket listens on does not.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int error = errno;
    close();
    *problem = strerror(error);
    return error == EADDRINUSE ? Status::kTaken : Status::kFailed;
  }
  port_ = ntohs(addr.sin_port);
  return Status::kListening;
}

bool LoopbackListener::accept_one(int timeout_ms) {
  if (socket_ < 0) return false;
  pollfd p = {static_cast<int>(socket_), POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  const int conn = accept(static_cast<int>(socket_), nullptr, nullptr);
  if (conn < 0) return false;
  ::close(conn);
  return true;
}

void LoopbackListener::close() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
  socket_ = -1;
  port_ = 0;
}
