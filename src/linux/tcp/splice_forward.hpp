#pragma once

#include <asio/ip/tcp.hpp>

#include <cstddef>
#include <functional>
#include <system_error>

#include "platform/connection.hpp"

namespace vosk::backend {

// The most one relay step moves: a pipe's default capacity.
inline constexpr std::size_t forwardStepMaximum = 65536;
// Empty pipes kept for reuse per thread. A step holds one only while bytes
// sit in it, so idle flows hold none.
inline constexpr std::size_t pipesKept = 32;
// Steps completed inside the step that started them before one goes through
// the event loop, so a fast stream cannot deepen the stack without bound.
inline constexpr int inlineStepsMaximum = 8;

// One relay step inside the kernel: the next bytes `from` has (at most
// forwardStepMaximum) are spliced through a pipe into `to`, and done(outcome)
// runs once they are all delivered, or at the end of the stream or an error.
// Both sockets are non-blocking and served by the calling thread's loop, and
// outlive the step. `waitFirst` skips the first attempt, for a direction that
// cannot have bytes yet: it saves a call that would only say "nothing there".
void spliceForward(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, bool waitFirst,
                   std::function<void(ForwardResult)> done);

}  // namespace vosk::backend
