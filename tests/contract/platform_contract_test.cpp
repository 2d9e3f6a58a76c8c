// What src/platform/ promises, checked on the in-memory platform the core's
// tests run on and on the Linux backend the daemon runs on: a fault in either
// (or a fake kinder than the real thing) shows up here.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "contract/backends.hpp"

namespace vosk::test {
namespace {

template <typename Backend>
class PlatformContract : public ::testing::Test {
 protected:
  Backend backend;
};

struct BackendNames {
  template <typename T>
  static std::string GetName(int) { return std::is_same_v<T, InMemoryBackend> ? "InMemory" : "Linux"; }
};
using Backends = ::testing::Types<InMemoryBackend, LinuxBackend>;
TYPED_TEST_SUITE(PlatformContract, Backends, BackendNames);

// --- Main queue and clock

TYPED_TEST(PlatformContract, PostedWorkRunsInOrderOneAtATimeFromAnyThread) {
  constexpr int perThread = 200;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::vector<int> ran[2];
  auto poster = [&](int thread) {
    for (int i = 0; i < perThread; ++i) {
      this->backend.queue().post([&, thread, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        ran[thread].push_back(i);
        running.fetch_sub(1);
      });
    }
  };
  std::thread other(poster, 1);
  poster(0);
  other.join();
  ASSERT_TRUE(this->backend.runUntil([&] { return ran[0].size() + ran[1].size() == 2 * perThread; }));
  EXPECT_FALSE(overlapped);
  for (const std::vector<int>& each : ran) EXPECT_TRUE(std::is_sorted(each.begin(), each.end()));
}

TYPED_TEST(PlatformContract, DelayedWorkRunsAfterItsDelayUnlessCancelledFirst) {
  MainQueue& queue = this->backend.queue();
  const Instant start = this->backend.clock().now();
  std::vector<std::string> ran;
  std::optional<Instant> firedAt;
  // Work often holds the object that holds its handle: once it has run or
  // been cancelled, what it holds must go although the handle stays.
  auto token = std::make_shared<int>(0);
  const std::weak_ptr<int> held = token;
  auto delayed = queue.schedule(0.05, [&, token] {
    firedAt = this->backend.clock().now();
    ran.push_back("delayed");
  });
  auto cancelled = queue.schedule(0.02, [&, token] { ran.push_back("cancelled"); });
  std::shared_ptr<DelayedWork> cancelledOnQueue;  // made and cancelled on the queue, as flows do
  queue.post([&queue, &cancelledOnQueue, token] {
    cancelledOnQueue = queue.schedule(0.02, [token] {});
    cancelledOnQueue->cancel();
  });
  token.reset();
  queue.post([&] { ran.push_back("posted"); });
  cancelled->cancel();
  ASSERT_TRUE(this->backend.runUntil([&] { return !ran.empty(); }));
  this->backend.runFor(0.1);
  delayed->cancel();  // after it ran: nothing happens
  cancelled->cancel();
  this->backend.runFor(0.01);
  EXPECT_EQ(ran, (std::vector<std::string>{"posted", "delayed"}));
  EXPECT_TRUE(held.expired());
  ASSERT_TRUE(firedAt);
  EXPECT_GE(*firedAt - start, 0.05 - 1e-9);
  EXPECT_GE(this->backend.clock().now(), *firedAt);  // monotonic
}

TYPED_TEST(PlatformContract, RepeatingTimerFiresOnItsGridUntilDestroyed) {
  const Instant start = this->backend.clock().now();
  std::vector<double> firings;
  auto timer = this->backend.queue().makeRepeatingTimer(0.02, 0.01, [&] {
    firings.push_back(this->backend.clock().now() - start);
  });
  for (int i = 0; i < 400 && firings.size() < 3; ++i) this->backend.runFor(0.005);
  ASSERT_GE(firings.size(), 3u);
  for (std::size_t i = 0; i < firings.size(); ++i) EXPECT_GE(firings[i], 0.02 + 0.01 * static_cast<double>(i) - 1e-9);
  timer.reset();
  const std::size_t fired = firings.size();
  this->backend.runFor(0.05);
  EXPECT_EQ(firings.size(), fired);
}

// --- TCP flow

// Reads until the read side ends; the error that ended it, if any.
template <typename Backend>
std::optional<Error> readToEnd(Backend& backend, TCPFlow& flow, std::string& into) {
  bool ended = false;
  std::optional<Error> failure;
  std::function<void()> next = [&] {
    flow.readData([&](std::optional<Bytes> data, std::optional<Error> error) {
      if (error || !data || data->empty()) {
        failure = error;
        ended = true;
        return;
      }
      into += textOf(*data);
      next();
    });
  };
  next();
  EXPECT_TRUE(backend.runUntil([&] { return ended; }));
  return failure;
}

TYPED_TEST(PlatformContract, FlowNamesItsDestinationOpensOnceAndReadsThePeersBytesThenItsEnd) {
  auto [flow, peer] = this->backend.makeFlow("198.18.0.1", "443");
  for (const auto& [host, port] : {std::pair{"198.18.0.7", "443"}, std::pair{"2001:db8::7", "80"}}) {
    auto remote = std::dynamic_pointer_cast<const HostEndpoint>(this->backend.makeFlow(host, port).first->remoteEndpoint());
    ASSERT_TRUE(remote);
    EXPECT_EQ(*remote, HostEndpoint(host, port));
  }
  int opened = 0;
  flow->open([&](std::optional<Error> error) {
    EXPECT_FALSE(error);
    ++opened;
  });
  ASSERT_TRUE(this->backend.runUntil([&] { return opened > 0; }));
  // A read asked for before any bytes waits for them.
  std::optional<Bytes> first;
  flow->readData([&](std::optional<Bytes> data, std::optional<Error> error) {
    EXPECT_FALSE(error);
    first = data.value_or(Bytes{});
  });
  this->backend.runFor(0.01);
  EXPECT_FALSE(first);
  peer.send("hello ");
  ASSERT_TRUE(this->backend.runUntil([&] { return first.has_value(); }));
  std::string read = textOf(*first);
  peer.send("world");
  peer.end();
  EXPECT_FALSE(readToEnd(this->backend, *flow, read));
  EXPECT_EQ(read, "hello world");
  this->backend.runFor(0.01);
  EXPECT_EQ(opened, 1);
}

// Hands every chunk over at once, then maybe closes the write side; what the peer received.
template <typename Backend>
std::string writeAll(Backend& backend, const std::vector<std::string>& chunks, bool thenCloseWrite) {
  auto made = backend.makeFlow("198.18.0.1", "443");  // not a structured binding: lambdas below use it
  auto& flow = made.first;
  auto& peer = made.second;
  std::vector<int> completions(chunks.size(), 0);
  int failures = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    flow->writeData(bytesOf(chunks[i]), [&, i](std::optional<Error> error) {
      ++completions[i];
      failures += error ? 1 : 0;
    });
  }
  if (thenCloseWrite) {
    flow->closeWrite();
    flow->closeWrite();
  }
  const std::string whole = std::accumulate(chunks.begin(), chunks.end(), std::string());
  EXPECT_TRUE(backend.runUntil([&] {
    return (thenCloseWrite ? peer.sawEnd() : peer.received().size() == whole.size()) && completions.back() > 0;
  }));
  backend.runFor(0.01);
  EXPECT_EQ(completions, std::vector<int>(chunks.size(), 1));
  EXPECT_EQ(failures, 0);
  const std::string received = peer.received();
  if (thenCloseWrite) {
    std::optional<Error> late;
    bool lateDone = false;
    flow->writeData(bytesOf("late"), [&](std::optional<Error> error) {
      late = error;
      lateDone = true;
    });
    EXPECT_TRUE(backend.runUntil([&] { return lateDone; }));
    EXPECT_TRUE(late) << "a write after closeWrite must fail";
    flow->closeRead();
    flow->closeRead();
    backend.runFor(0.01);
  }
  return received;
}

const std::string big(1 << 20, 'x');  // still being written when the next call comes

TYPED_TEST(PlatformContract, FlowClosesWriteAfterPendingWrites) {
  EXPECT_TRUE(writeAll(this->backend, {"first ", big}, true) == "first " + big);
}

TYPED_TEST(PlatformContract, FlowWritesReachThePeerInOrder) {
  EXPECT_TRUE(writeAll(this->backend, {"first ", big, " last"}, false) == "first " + big + " last");
}

// --- Upstream connection

// A connection and what its callbacks reported, each checked to arrive on the queue.
template <typename Backend>
struct Dial {
  Dial(Backend& backend, typename Backend::Server& server) : backend(backend), connection(backend.connect(server)) {
    connection->setStateUpdateHandler([this](const ConnectionState& state) {
      EXPECT_TRUE(this->backend.onQueue());
      states.push_back(state);
    });
    connection->start(backend.queue());
  }
  bool reached(ConnectionState::Kind kind) const { return !states.empty() && states.back().kind == kind; }
  bool ready() { return backend.runUntil([&] { return reached(ConnectionState::Kind::ready); }); }
  void send(std::string text) {
    connection->send(bytesOf(text), [this, text](std::optional<Error> error) {
      EXPECT_TRUE(this->backend.onQueue());
      sent.push_back(error ? "failed " + text : text);
    });
  }
  Backend& backend;
  std::shared_ptr<Connection> connection;
  std::vector<ConnectionState> states;
  std::vector<std::string> sent;  // completions, in order
};

TYPED_TEST(PlatformContract, ConnectionSendsInOrderEvenBeforeReadyThenItsEnd) {
  auto server = this->backend.makeServer(true);
  Dial dial(this->backend, *server);
  dial.send("one ");
  dial.send("two ");
  ASSERT_TRUE(this->backend.runUntil([&] { return dial.reached(ConnectionState::Kind::ready) && dial.sent.size() == 2; }));
  dial.send("three");
  dial.connection->sendEndOfStream();
  ASSERT_TRUE(this->backend.runUntil([&] { return server->sawEnd() && dial.sent.size() == 3; }));
  EXPECT_EQ(server->received(), "one two three");
  EXPECT_EQ(dial.sent, (std::vector<std::string>{"one ", "two ", "three"}));
}

TYPED_TEST(PlatformContract, ConnectionToAClosedPortFails) {
  auto server = this->backend.makeServer(false);
  Dial dial(this->backend, *server);
  ASSERT_TRUE(this->backend.runUntil([&] { return dial.reached(ConnectionState::Kind::failed); }));
  EXPECT_TRUE(dial.states.back().error);
  this->backend.runFor(0.01);
  EXPECT_EQ(dial.states.size(), 1u);
}

// Loopback connects are decided inside the first call; this one is not: the
// server's accept queue is full, so its SYN waits for a retransmission. It
// becomes ready once that gets in, and what was sent before goes out then.
TEST(LinuxConnectionTest, AConnectDecidedOnlyLaterBecomesReadyThen) {
  LinuxBackend backend;
  asio::io_context blocking;
  asio::ip::tcp::acceptor acceptor(blocking);
  const asio::ip::tcp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);
  acceptor.open(loopback.protocol());
  acceptor.bind(loopback);
  acceptor.listen(0);  // room for one waiting connection
  asio::ip::tcp::socket waiting(blocking);
  waiting.connect(acceptor.local_endpoint());
  const std::uint16_t port = acceptor.local_endpoint().port();
  LinuxBackend::Server server{std::move(acceptor), port, {}};
  Dial dial(backend, server);
  dial.send("hello");
  backend.runFor(0.2);
  EXPECT_TRUE(dial.states.empty());

  const asio::ip::tcp::socket taken = server.acceptor.accept();  // makes room
  ASSERT_TRUE(dial.ready());
  EXPECT_TRUE(backend.runUntil([&] { return server.received() == "hello"; }));
}

// The server's bytes then its end of stream, received `maximum` bytes at most at a time.
template <typename Backend>
void expectReceivedWhole(Backend& backend, std::size_t maximum) {
  auto server = backend.makeServer(true);
  Dial dial(backend, *server);
  ASSERT_TRUE(dial.ready());
  server->send("abcdefghij");
  server->end();
  std::string all;
  bool complete = false;
  std::function<void()> next = [&] {
    dial.connection->receive(1, maximum, [&](std::optional<Bytes> data, bool isComplete, std::optional<Error> error) {
      EXPECT_TRUE(backend.onQueue());
      EXPECT_FALSE(error);
      EXPECT_LE(data ? data->size() : 0, maximum);
      if (data) all += textOf(*data);
      complete = isComplete || error;
      if (!complete) next();
    });
  };
  next();
  ASSERT_TRUE(backend.runUntil([&] { return complete; }));
  EXPECT_EQ(all, "abcdefghij");
}

TYPED_TEST(PlatformContract, ConnectionReceivesTheServersBytesThenItsEnd) { expectReceivedWhole(this->backend, 65536); }

TYPED_TEST(PlatformContract, ConnectionReceivesAtMostTheMaximum) {
  expectReceivedWhole(this->backend, 4);
}

TYPED_TEST(PlatformContract, CancelEndsAPendingReceiveAndRepeatsHarmlessly) {
  auto server = this->backend.makeServer(true);
  Dial dial(this->backend, *server);
  ASSERT_TRUE(dial.ready());
  int receives = 0;
  std::optional<Error> receiveError;
  dial.connection->receive(1, 100, [&](std::optional<Bytes>, bool, std::optional<Error> error) {
    ++receives;
    receiveError = error;
  });
  this->backend.runFor(0.01);
  dial.connection->cancel();
  dial.connection->cancel();
  ASSERT_TRUE(this->backend.runUntil([&] { return receives > 0 && dial.reached(ConnectionState::Kind::cancelled); }));
  this->backend.runFor(0.01);
  EXPECT_EQ(receives, 1);
  EXPECT_TRUE(receiveError);
  EXPECT_EQ(std::count_if(dial.states.begin(), dial.states.end(),
                          [](const ConnectionState& state) { return state.kind == ConnectionState::Kind::cancelled; }),
            1);
}

// --- Relay steps

// Steps one direction until its end of stream or an error, as the relay does.
struct Stepper {
  using Step = std::function<void(std::function<void(ForwardResult)>)>;
  explicit Stepper(Step step) : step(std::move(step)) {}
  Step step;
  std::size_t bytes = 0;
  bool ended = false;
  std::optional<Error> error;
  int completions = 0;
  void run() {
    step([this](ForwardResult result) {
      ++completions;
      bytes += result.bytes;
      error = result.error;
      ended = result.endOfStream;
      if (!ended && !error) run();
    });
  }
  bool done() const { return ended || error; }
};

// What a relayed flow has: a connection to a listening server, and a flow.
template <typename Backend>
struct RelayEnds {
  explicit RelayEnds(Backend& backend)
      : server(backend.makeServer(true)), dial(backend, *server), made(backend.makeFlow("127.0.0.1", "443")) {}
  TCPFlow& flow() { return *made.first; }
  auto& peer() { return made.second; }
  Connection& connection() { return *dial.connection; }

  std::unique_ptr<typename Backend::Server> server;
  Dial<Backend> dial;
  decltype(std::declval<Backend&>().makeFlow("", "")) made;
};

TYPED_TEST(PlatformContract, ForwardStepsCarryEachSidesBytesAndReportItsEndWithoutPassingItOn) {
  RelayEnds ends(this->backend);
  ASSERT_TRUE(ends.dial.ready());
  auto& server = ends.server;
  auto& peer = ends.peer();
  Stepper up([&](auto done) { ends.connection().forwardFrom(ends.flow(), unlimitedForward, std::move(done)); });
  Stepper down([&](auto done) { ends.connection().forwardTo(ends.flow(), std::move(done)); });
  up.run();
  down.run();
  // More than one step moves; on Linux the flow's socket takes it in parts.
  std::string answer(200000, ' ');
  for (std::size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<char>('a' + i % 26);
  server->send(answer);
  peer.send("request");
  ASSERT_TRUE(this->backend.runUntil([&] { return server->received() == "request" && peer.received() == answer; }));
  peer.end();
  server->end();
  ASSERT_TRUE(this->backend.runUntil([&] { return up.done() && down.done(); }));
  EXPECT_FALSE(up.error || down.error);
  EXPECT_EQ(up.bytes, 7u);
  EXPECT_EQ(down.bytes, answer.size());
  // Ends are the caller's to pass on (half-close).
  this->backend.runFor(0.01);
  EXPECT_FALSE(server->sawEnd());
  EXPECT_FALSE(peer.sawEnd());
}

// An answer whose end came with it: the step may report both, and the bytes
// reach the peer with the end once that is passed on.
TYPED_TEST(PlatformContract, AnAnswerAndItsEndReachThePeerOnceTheEndIsPassedOn) {
  RelayEnds ends(this->backend);
  ASSERT_TRUE(ends.dial.ready());
  ends.server->send("last words");
  ends.server->end();
  this->backend.runFor(0.05);  // both there before the step looks
  Stepper down([&](auto done) { ends.connection().forwardTo(ends.flow(), std::move(done)); });
  down.run();
  ASSERT_TRUE(this->backend.runUntil([&] { return down.done(); }));
  EXPECT_FALSE(down.error);
  EXPECT_EQ(down.bytes, 10u);
  ends.flow().closeWrite();
  EXPECT_TRUE(this->backend.runUntil([&] { return ends.peer().sawEnd(); }));
  EXPECT_EQ(ends.peer().received(), "last words");
}

// A limited step moves no more than its limit; the rest is the flow's next read.
TYPED_TEST(PlatformContract, ALimitedForwardStepLeavesTheRestToTheFlowsNextRead) {
  RelayEnds ends(this->backend);
  ASSERT_TRUE(ends.dial.ready());
  ends.peer().send("headrest");
  std::optional<ForwardResult> step;
  ends.connection().forwardFrom(ends.flow(), 4, [&](ForwardResult result) { step = result; });
  ASSERT_TRUE(this->backend.runUntil([&] { return step.has_value() && ends.server->received() == "head"; }));
  EXPECT_EQ(step->bytes, 4u);
  std::optional<Bytes> rest;
  ends.flow().readData([&](std::optional<Bytes> data, std::optional<Error>) { rest = data.value_or(Bytes{}); });
  ASSERT_TRUE(this->backend.runUntil([&] { return rest.has_value(); }));
  EXPECT_EQ(textOf(*rest), "rest");
}

TYPED_TEST(PlatformContract, AForwardStepWaitingOnACancelledConnectionEndsOnceWithAnError) {
  RelayEnds ends(this->backend);
  ASSERT_TRUE(ends.dial.ready());
  Stepper down([&](auto done) { ends.connection().forwardTo(ends.flow(), std::move(done)); });
  down.run();
  this->backend.runFor(0.01);
  ends.connection().cancel();
  ASSERT_TRUE(this->backend.runUntil([&] { return down.done(); }));
  this->backend.runFor(0.01);
  EXPECT_TRUE(down.error);
  EXPECT_EQ(down.completions, 1);
  EXPECT_EQ(ends.peer().received(), "");
}

}  // namespace
}  // namespace vosk::test
