#include "linux/tcp/splice_forward.hpp"

#include "linux/tcp/read_scratch.hpp"

#include <asio/post.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace vosk::backend {
namespace {

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
};

thread_local std::vector<Pipe> pipes;
thread_local int inlineSteps = 0;

std::error_code lastError() { return {errno, std::system_category()}; }

bool takePipe(Pipe& pipe) {
  if (!pipes.empty()) {
    pipe = pipes.back();
    pipes.pop_back();
    return true;
  }
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  pipe = {ends[0], ends[1]};
  return true;
}

// An empty pipe goes back to the pool; one that still holds bytes is closed.
void givePipeBack(Pipe& pipe, bool empty) {
  if (pipe.readEnd < 0) return;
  if (empty && pipes.size() < pipesKept) {
    if (pipes.capacity() == 0) pipes.reserve(pipesKept);
    pipes.push_back(pipe);
  } else {
    ::close(pipe.readEnd);
    ::close(pipe.writeEnd);
  }
  pipe = {};
}

// A step's whole state travels by value through its handlers, whose memory
// the event loop recycles: a step allocates nothing, unless `to` takes only
// part of a copy.
struct Step {
  asio::ip::tcp::socket* from;
  asio::ip::tcp::socket* to;
  std::function<void(ForwardResult)> done;
  std::size_t maximum;      // the most this step reads, at most forwardStepMaximum
  Pipe pipe;
  std::size_t moved = 0;    // read from `from` in this step
  std::size_t pending = 0;  // of those, still in the pipe
  Bytes unsent;             // of those, copied and still to be sent
  // What a copy step read right behind them: they are delivered first.
  bool endOfStream = false;
  std::error_code readError;
};

// Bytes with the end of stream right behind them are held for the end.
int sendFlags(const Step& step) { return MSG_DONTWAIT | MSG_NOSIGNAL | (step.endOfStream ? MSG_MORE : 0); }

void finish(Step& step, std::size_t bytes, bool endOfStream, std::error_code error) {
  ForwardResult outcome{bytes, endOfStream, std::nullopt};
  if (error) outcome.error = Error{error.message()};
  givePipeBack(step.pipe, step.pending == 0);
  if (inlineSteps < inlineStepsMaximum) {
    ++inlineSteps;
    step.done(outcome);
    --inlineSteps;
    return;
  }
  asio::post(step.to->get_executor(), [done = std::move(step.done), outcome = std::move(outcome)] { done(outcome); });
}

void run(Step step) {
  while (step.pending > 0) {
    const ssize_t count = ::splice(step.pipe.readEnd, nullptr, step.to->native_handle(), nullptr, step.pending,
                                   SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (count > 0) {
      step.pending -= static_cast<std::size_t>(count);
      continue;
    }
    if (count < 0 && errno == EAGAIN) {
      asio::ip::tcp::socket& to = *step.to;
      to.async_wait(asio::ip::tcp::socket::wait_write, [step = std::move(step)](std::error_code error) mutable {
        if (error) return finish(step, 0, false, error);
        run(std::move(step));
      });
      return;
    }
    return finish(step, 0, false, count == 0 ? asio::error::broken_pipe : lastError());
  }
  if (step.moved > 0) return finish(step, step.moved, false, {});

  if (step.pipe.readEnd < 0 && !takePipe(step.pipe)) return finish(step, 0, false, lastError());
  const ssize_t count = ::splice(step.from->native_handle(), nullptr, step.pipe.writeEnd, nullptr, step.maximum,
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  if (count > 0) {
    step.moved = step.pending = static_cast<std::size_t>(count);
    return run(std::move(step));
  }
  if (count == 0) return finish(step, 0, true, {});
  if (errno != EAGAIN) return finish(step, 0, false, lastError());
  // Nothing there yet: wait without holding the pipe.
  givePipeBack(step.pipe, true);
  asio::ip::tcp::socket& from = *step.from;
  from.async_wait(asio::ip::tcp::socket::wait_read, [step = std::move(step)](std::error_code error) mutable {
    if (error) return finish(step, 0, false, error);
    run(std::move(step));
  });
}

void sendUnsent(Step step) {
  while (!step.unsent.empty()) {
    const ssize_t count = ::send(step.to->native_handle(), step.unsent.data(), step.unsent.size(), sendFlags(step));
    if (count > 0) {
      step.unsent.erase(step.unsent.begin(), step.unsent.begin() + count);
      continue;
    }
    if (count < 0 && errno != EAGAIN) return finish(step, 0, false, lastError());
    asio::ip::tcp::socket& to = *step.to;
    to.async_wait(asio::ip::tcp::socket::wait_write, [step = std::move(step)](std::error_code error) mutable {
      if (error) return finish(step, 0, false, error);
      sendUnsent(std::move(step));
    });
    return;
  }
  finish(step, step.moved, step.endOfStream, step.readError);
}

// Waits until `from` is readable (the wait re-arms its readiness, so bytes
// already there are not missed), then copies what it holds through the
// loop's scratch buffer.
void copyWhenReadable(Step step) {
  asio::ip::tcp::socket& from = *step.from;
  from.async_wait(asio::ip::tcp::socket::wait_read, [step = std::move(step)](std::error_code error) mutable {
    if (error) return finish(step, 0, false, error);
    const std::span<std::uint8_t> scratch = readScratch().first(std::min(socketReadMaximum, step.maximum));
    step.moved = receiveAvailable(*step.from, scratch, error);
    if (error == asio::error::would_block) return copyWhenReadable(std::move(step));
    if (error == asio::error::eof) return finish(step, 0, true, {});
    if (error) return finish(step, 0, false, error);
    // An answer that its end of stream closes (HTTP/1.0 style, Connection:
    // close) is most often whole by now, end included. Read together, the
    // bytes wait in the socket for the end the caller passes on next, and
    // both leave in one segment: the peer wakes once, not twice.
    if (step.moved < scratch.size()) {
      step.moved += receiveAvailable(*step.from, scratch.subspan(step.moved), error);
      step.endOfStream = error == asio::error::eof;
      if (error != asio::error::would_block && !step.endOfStream) step.readError = error;
    }
    const ssize_t sent = ::send(step.to->native_handle(), scratch.data(), step.moved, sendFlags(step));
    if (sent == static_cast<ssize_t>(step.moved)) return finish(step, step.moved, step.endOfStream, step.readError);
    if (sent < 0 && errno != EAGAIN) return finish(step, 0, false, lastError());
    step.unsent.assign(scratch.begin() + std::max<ssize_t>(sent, 0), scratch.begin() + step.moved);
    sendUnsent(std::move(step));
  });
}

}  // namespace

void spliceForward(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, bool firstOfDirection,
                   std::size_t maximum, std::function<void(ForwardResult)> done) {
  Step step{&from, &to, std::move(done), std::min(maximum, forwardStepMaximum), {}, 0, 0, {}, false, {}};
  if (firstOfDirection) return copyWhenReadable(std::move(step));
  run(std::move(step));
}

}  // namespace vosk::backend
