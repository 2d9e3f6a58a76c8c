#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "control/interface.hpp"
#include "ctl/control_client.hpp"

namespace vosk::ctl {
namespace {

using namespace std::string_literals;

// A daemon's socket in the test's temporary directory, removed at the end.
class Listener {
 public:
  Listener() : descriptor_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    ::unlink(path_.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, path_.size());
    EXPECT_EQ(::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(descriptor_, 1), 0);
  }
  ~Listener() {
    ::close(descriptor_);
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

  // Serves one connection: reads a call and, when `takesRaw`, the raw bytes its
  // "bytes" parameter counts; then writes `answer` and closes. The raw bytes read.
  std::string serveOne(bool takesRaw, const std::string& answer) const {
    const int connection = ::accept4(descriptor_, nullptr, nullptr, SOCK_CLOEXEC);
    control::MessageReader reader;
    std::optional<control::Call> call;
    std::string raw;
    std::array<char, 4096> chunk;
    while (!call || (takesRaw && raw.size() < call->parameters.value("bytes", 0u))) {
      const ssize_t received = ::recv(connection, chunk.data(), chunk.size(), 0);
      if (received <= 0) break;
      reader.append(std::string_view(chunk.data(), static_cast<std::size_t>(received)));
      const auto message = call ? std::nullopt : reader.next();
      if (message) call = std::get<control::Call>(control::parseCall(*message));
      if (call && takesRaw) raw += reader.takeRaw(call->parameters.value("bytes", 0u) - raw.size());
    }
    for (std::string_view rest = answer; !rest.empty();) {
      const ssize_t sent = ::send(connection, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(sent));
    }
    ::close(connection);
    return raw;
  }

 private:
  std::string path_ = testing::TempDir() + "vosk_control_client_" + std::to_string(::getpid()) + ".sock";
  int descriptor_;
};

TEST(ControlClientTest, OneCallOneReplyOrTheTransportFailure) {
  // Over the socket buffers: written in parts.
  const std::string list(3 << 20, 'x');
  const control::Call importCall{control::importMethod, {{"bytes", list.size()}}, false, false, true};
  struct Case {
    const char* what;
    control::Call call;
    std::string raw;
    bool takesRaw;
    std::string answer;
    std::string failure;  // none: `answer` is the reply
  };
  const std::vector<Case> cases = {
      {"a reply", {control::statusMethod}, "", false, control::encodeReply({{"status", {{"blocking", true}}}}), ""},
      {"raw bytes, then the reply", importCall, list, true, control::encodeReply({{"added", 1}}), ""},
      {"a refusal before the raw bytes", importCall, list, false,
       control::encodeError(control::tooLargeError, {{"limit", 1}}), ""},
      {"closed before replying", {control::statusMethod}, "", false, "", "closed the connection"},
      {"not a reply", {control::statusMethod}, "", false, "[]\0"s, "not a varlink reply"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Listener listener;
    std::string rawRead;
    std::thread daemon([&] { rawRead = listener.serveOne(c.takesRaw, c.answer); });
    auto connected = ControlClient::connect(listener.path());
    ASSERT_TRUE(std::holds_alternative<ControlClient>(connected));
    const auto result = std::get<ControlClient>(connected).call(c.call, c.raw);
    daemon.join();

    if (!c.failure.empty()) {
      ASSERT_TRUE(std::holds_alternative<std::string>(result));
      EXPECT_NE(std::get<std::string>(result).find(c.failure), std::string::npos) << std::get<std::string>(result);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<control::Reply>(result)) << std::get<std::string>(result);
    const auto expected = control::parseReply(std::string_view(c.answer).substr(0, c.answer.size() - 1));
    EXPECT_EQ(std::get<control::Reply>(result).parameters, expected->parameters);
    EXPECT_EQ(std::get<control::Reply>(result).error, expected->error);
    if (c.takesRaw) {
      EXPECT_EQ(rawRead, c.raw);
    }
  }
}

TEST(ControlClientTest, SaysWhetherADaemonListens) {
  const auto missing = ControlClient::connect(testing::TempDir() + "vosk_no_such.sock");
  ASSERT_TRUE(std::holds_alternative<ConnectFailure>(missing));
  EXPECT_TRUE(std::get<ConnectFailure>(missing).noDaemon);

  const auto tooLong = ControlClient::connect("/" + std::string(200, 'x'));
  ASSERT_TRUE(std::holds_alternative<ConnectFailure>(tooLong));
  EXPECT_FALSE(std::get<ConnectFailure>(tooLong).noDaemon);
}

}  // namespace
}  // namespace vosk::ctl
