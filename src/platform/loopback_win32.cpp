#include "platform/loopback.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

// Winsock is started once for the process and left to the process's end.
bool winsock_started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string system_text(int error) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(error) : s;
}

}  // namespace

LoopbackListener::~LoopbackListener() { close(); }

LoopbackListener::Status LoopbackListener::listen(uint16_t port, std::string* problem) {
  close();
  if (!winsock_started()) {
    *problem = "Winsock did not start";
    return Status::kFailed;
  }
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *problem = system_text(WSAGetLastError());
    return Status::kFailed;
  }
  socket_ = static_cast<intptr_t>(s);
  // Unlike POSIX, SO_REUSEADDR here would let this socket share a port
  // another one listens on; exclusive use makes a taken port show as one.
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, 1) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const int error = WSAGetLastError();
    close();
    *problem = system_text(error);
    return error == WSAEADDRINUSE || error == WSAEACCES ? Status::kTaken : Status::kFailed;
  }
  port_ = ntohs(addr.sin_port);
  return Status::kListening;
}

bool LoopbackListener::accept_one(int timeout_ms) {
  if (socket_ < 0) return false;
  const SOCKET s = static_cast<SOCKET>(socket_);
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval wait = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (select(0, &ready, nullptr, nullptr, timeout_ms < 0 ? nullptr : &wait) != 1) return false;
  const SOCKET conn = accept(s, nullptr, nullptr);
  if (conn == INVALID_SOCKET) return false;
  closesocket(conn);
  return true;
}

void LoopbackListener::close() {
  if (socket_ >= 0) closesocket(static_cast<SOCKET>(socket_));
  socket_ = -1;
  port_ = 0;
}
