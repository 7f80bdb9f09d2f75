#include "launcher/debugger.h"

#include "platform/loopback.h"

bool choose_debugger_port(uint16_t* port, std::string* problem) {
  LoopbackListener probe;
  std::string reason;
  const std::string where = "localhost:" + std::to_string(*port);
  switch (probe.listen(*port, &reason)) {
    case LoopbackListener::Status::kListening:
      *port = probe.port();
      return true;
    case LoopbackListener::Status::kTaken:
      *problem = "--gdb: port " + std::to_string(*port) + " is taken";
      return false;
    case LoopbackListener::Status::kFailed:
      break;
  }
  *problem = "--gdb: cannot listen on " + where + ": " + reason;
  return false;
}

std::string debugger_waiting_text(uint16_t port) {
  return "waiting for a debugger on localhost:" + std::to_string(port);
}
