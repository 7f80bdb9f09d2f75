// A TCP listener on the loopback address alone, as a debugger's server
// listens: reachable from this machine only.
#ifndef ZELK_PLATFORM_LOOPBACK_H_
#define ZELK_PLATFORM_LOOPBACK_H_

#include <cstdint>
#include <string>

class LoopbackListener {
 public:
  enum class Status { kListening, kTaken, kFailed };
  LoopbackListener() = default;
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // Listens on 127.0.0.1:|port|, or on a port the system picks when
  // |port| is 0. kTaken when another socket has the port; kFailed, with
  // the system's reason in |problem|, when it cannot listen at all.
  Status listen(uint16_t port, std::string* problem);
  // The port listened on; 0 before listen() succeeded.
  uint16_t port() const { return port_; }
  // Waits up to |timeout_ms| for one connection, accepts it and closes it;
  // false when none came.
  bool accept_one(int timeout_ms);
  // Stops listening; the port is free again.
  void close();

 private:
  intptr_t socket_ = -1;
  uint16_t port_ = 0;
};

#endif  // ZELK_PLATFORM_LOOPBACK_H_
