// The run's debugger port: checked, or chosen for "auto", before anything
// is written, and named once the simulator is about to listen on it.
#ifndef ZELK_LAUNCHER_DEBUGGER_H_
#define ZELK_LAUNCHER_DEBUGGER_H_

#include <cstdint>
#include <string>

// Makes |*port| a port free on the loopback address now, a free one of the
// system's choosing when it is 0; false with the reason in |problem| when
// it is taken or nothing can listen. Another program may still take the
// port before the simulator listens on it: the simulator then refuses to
// start and says so.
bool choose_debugger_port(uint16_t* port, std::string* problem);

// The line that tells the user where to attach.
std::string debugger_waiting_text(uint16_t port);

#endif  // ZELK_LAUNCHER_DEBUGGER_H_
