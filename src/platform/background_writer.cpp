#include "platform/background_writer.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct BackgroundWriter::Shared {
  Sink sink;
  size_t room = 0;
  mutable std::mutex lock;
  std::condition_variable changed;
  mutable std::condition_variable room_made;
  std::string queued;
  size_t writing = 0;  // bytes taken by the thread, not yet written
  bool close_asked = false, closed = false, gone = false, finished = false;
  OutputWrite state = OutputWrite::kWritten;
  int error = 0;
  std::thread thread;

  void run() {
    // It may still write once the launcher has given SIGPIPE back.
    keep_broken_pipes_in_this_thread();
    std::string piece;
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [&] { return gone || !queued.empty() || (close_asked && !closed); });
      if (state != OutputWrite::kWritten) break;
      if (!queued.empty()) {
        piece.swap(queued);
        writing = piece.size();
      } else if (close_asked && !closed) {
        hold.unlock();
        const OutputWrite result = sink(nullptr, 0);
        const int e = errno;
        hold.lock();
        closed = true;
        fail(result, e);
        room_made.notify_all();
        continue;
      } else {
        break;
      }
      hold.unlock();
      const OutputWrite result = sink(piece.data(), piece.size());
      const int e = errno;
      piece.clear();
      hold.lock();
      writing = 0;
      fail(result, e);
      room_made.notify_all();
    }
    finished = true;
  }

  void fail(OutputWrite result, int e) {
    if (result == OutputWrite::kWritten || state != OutputWrite::kWritten) return;
    state = result;
    error = e;
    std::string().swap(queued);
  }
};

BackgroundWriter::BackgroundWriter(Sink sink, size_t room) : shared_(new Shared) {
  shared_->sink = std::move(sink);
  shared_->room = room;
  std::shared_ptr<Shared> shared = shared_;
  shared_->thread = std::thread([shared] { shared->run(); });
}

BackgroundWriter::~BackgroundWriter() {
  std::unique_lock<std::mutex> hold(shared_->lock);
  shared_->gone = true;
  const bool done = shared_->queued.empty() && shared_->writing == 0 &&
                    (!shared_->close_asked || shared_->closed);
  shared_->changed.notify_one();
  hold.unlock();
  if (done) {
    shared_->thread.join();
  } else {
    // Blocked in a write, it holds its share of the state until the
    // process ends.
    shared_->thread.detach();
  }
}

void BackgroundWriter::put(const char* data, size_t len) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  if (shared_->state != OutputWrite::kWritten || len == 0) return;
  shared_->queued.append(data, len);
  shared_->changed.notify_one();
}

void BackgroundWriter::close() {
  std::lock_guard<std::mutex> hold(shared_->lock);
  shared_->close_asked = true;
  shared_->changed.notify_one();
}

bool BackgroundWriter::has_room() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->queued.size() + shared_->writing < shared_->room;
}

bool BackgroundWriter::wait_for_room(int64_t ms) const {
  std::unique_lock<std::mutex> hold(shared_->lock);
  return shared_->room_made.wait_for(hold, std::chrono::milliseconds(ms), [this] {
    return shared_->state != OutputWrite::kWritten ||
           shared_->queued.size() + shared_->writing < shared_->room;
  });
}

bool BackgroundWriter::idle() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->state != OutputWrite::kWritten ||
         (shared_->queued.empty() && shared_->writing == 0 &&
          (!shared_->close_asked || shared_->closed));
}

OutputWrite BackgroundWriter::state(int* error) const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  *error = shared_->error;
  return shared_->state;
}
