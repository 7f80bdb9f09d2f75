// Bytes written by a thread of their own, so that a place that takes
// nothing for a while (a pipe nobody reads, a terminal held by Ctrl-S, a
// FIFO with no reader yet) never holds up whoever puts them there.
#ifndef ZELK_PLATFORM_BACKGROUND_WRITER_H_
#define ZELK_PLATFORM_BACKGROUND_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/platform.h"

class BackgroundWriter {
 public:
  // Writes all it is given, or says how it failed (errno set with
  // kFailed). Called on the writer's thread, with |data| nullptr once
  // close() was asked and everything before it is written. What it uses
  // must outlive the thread, which may outlive the writer.
  using Sink = std::function<OutputWrite(const char* data, size_t len)>;

  // |room|: how many bytes may wait before has_room() says no.
  BackgroundWriter(Sink sink, size_t room);
  // Waits for the thread where it is done; one still writing is left to
  // end with the process.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Queues |len| bytes; nothing more once the sink has failed.
  void put(const char* data, size_t len);
  // Asks for the sink's closing call once everything put is written.
  void close();
  bool has_room() const;
  // Waits up to |ms| for has_room(); what it says then.
  bool wait_for_room(int64_t ms) const;
  // Everything put is written (and closed, where asked), or the sink
  // failed.
  bool idle() const;
  // kWritten while nothing failed; else the first failure, its errno in
  // |*error|.
  OutputWrite state(int* error) const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

#endif  // ZELK_PLATFORM_BACKGROUND_WRITER_H_
