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

// One relay step: the next bytes `from` has (at most forwardStepMaximum and
// `maximum`) go into `to`, and done(outcome) runs once they are all delivered, or at the
// end of the stream or an error. Both sockets are non-blocking and served by
// the calling thread's loop, and outlive the step.
//
// A step splices inside the kernel through a pipe, except the first of a
// direction: it follows the replay, so it waits before it reads (nothing can
// be there yet), and what it finds is most often small (an answer's head, a
// request's end), which a copy through the loop's scratch buffer moves for
// less than a splice's two trips through a pipe. A bulk stream copies its
// first chunk only. A copy step also reads the end of stream when it came
// with the bytes, and reports both.
void spliceForward(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, bool firstOfDirection,
                   std::size_t maximum, std::function<void(ForwardResult)> done);

}  // namespace vosk::backend
