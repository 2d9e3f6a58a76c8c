#include "ctl/control_client.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "config/blocking_rules.hpp"

namespace vosk::ctl {
namespace {

constexpr std::size_t kReadChunkBytes = std::size_t{64} << 10;

// The events of one wait for `events`, 0 when the time ran out.
short await(int descriptor, short events, std::chrono::milliseconds limit) {
  pollfd entry{descriptor, events, 0};
  int ready = 0;
  while ((ready = ::poll(&entry, 1, static_cast<int>(limit.count()))) < 0 && errno == EINTR) {
  }
  return ready > 0 ? entry.revents : 0;
}

}  // namespace

std::string errorText(const std::string& error, const nlohmann::json& parameters) {
  if (const auto message = parameters.find("message"); message != parameters.end() && message->is_string()) {
    return message->get<std::string>();
  }
  if (error == control::invalidParameterError) {
    return fmt::format("the daemon refused parameter \"{}\"", parameters.value("parameter", std::string()));
  }
  return fmt::format("{} {}", error, parameters.dump());
}

std::string localTimeText(const nlohmann::json& rfc3339) {
  const std::optional<config::WallTime> time =
      rfc3339.is_string() ? config::parseWallTime(rfc3339.get<std::string>()) : std::nullopt;
  if (!time) return "";
  const std::time_t moment = std::chrono::system_clock::to_time_t(*time);
  std::tm local{};
  localtime_r(&moment, &local);
  std::array<char, 64> buffer{};
  return std::string(buffer.data(), std::strftime(buffer.data(), buffer.size(), "%Y-%m-%d %H:%M %Z", &local));
}

std::string importSummary(const std::string& label, const nlohmann::json& reply) {
  std::string summary = fmt::format("{}: {} lines read, {} added, {} folded, {} skipped", label,
                                    reply.value("linesRead", 0), reply.value("added", 0), reply.value("folded", 0),
                                    reply.value("skipped", 0));
  const nlohmann::json skippedLines = reply.value("firstSkipped", nlohmann::json::array());
  for (const nlohmann::json& skipped : skippedLines) summary += fmt::format("\n  {}:{}", label, skipped.get<std::string>());
  if (reply.value("skipped", std::size_t{0}) > skippedLines.size()) {
    summary += fmt::format("\n  ... and {} more skipped", reply.value("skipped", std::size_t{0}) - skippedLines.size());
  }
  return summary;
}

std::variant<ControlClient, ConnectFailure> ControlClient::connect(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof(address.sun_path)) {
    return ConnectFailure{false, fmt::format("cannot connect to {}: the path is too long for a socket", socketPath)};
  }
  socketPath.copy(address.sun_path, socketPath.size());
  ControlClient client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (client.descriptor_ < 0) return ConnectFailure{false, fmt::format("cannot make a socket: {}", std::strerror(errno))};
  // A full backlog makes connect wait, as long as the send time limit allows.
  const timeval limit{static_cast<time_t>(connectTimeout.count()), 0};
  ::setsockopt(client.descriptor_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int connected = 0;
  while ((connected = ::connect(client.descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 &&
         errno == EINTR) {
  }
  if (connected != 0) {
    const int error = errno;
    return ConnectFailure{error == ENOENT || error == ECONNREFUSED,
                          fmt::format("cannot connect to {}: {}", socketPath, std::strerror(error))};
  }
  return client;
}

ControlClient::ControlClient(ControlClient&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), reader_(std::move(other.reader_)) {}

ControlClient& ControlClient::operator=(ControlClient&& other) noexcept {
  std::swap(descriptor_, other.descriptor_);
  std::swap(reader_, other.reader_);
  return *this;
}

ControlClient::~ControlClient() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

std::variant<control::Reply, std::string> ControlClient::call(const control::Call& call, std::string_view raw) {
  if (auto failure = send(control::encodeCall(call))) return *std::move(failure);
  if (auto failure = send(raw)) return *std::move(failure);
  return receive();
}

std::optional<std::string> ControlClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const short events = await(descriptor_, POLLOUT | POLLIN, sendTimeout);
    if (events == 0) return fmt::format("the daemon took nothing for {} s", sendTimeout.count());
    if ((events & POLLOUT) == 0) return std::nullopt;  // it answered or hung up: receive() tells
    const ssize_t sent = ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno == EPIPE || errno == ECONNRESET) {
      return std::nullopt;
    } else if (errno != EINTR && errno != EAGAIN) {
      return fmt::format("cannot send to the daemon: {}", std::strerror(errno));
    }
  }
  return std::nullopt;
}

std::variant<control::Reply, std::string> ControlClient::receive() {
  std::array<char, kReadChunkBytes> chunk;
  for (;;) {
    if (const std::optional<std::string> message = reader_.next()) {
      if (std::optional<control::Reply> reply = control::parseReply(*message)) return *std::move(reply);
      return std::string("the daemon's answer is not a varlink reply");
    }
    if (reader_.spoilt()) return fmt::format("the daemon's reply is over {} bytes", maxReplyBytes);
    if (await(descriptor_, POLLIN, replyTimeout) == 0) {
      return fmt::format("no reply from the daemon within {} s", replyTimeout.count());
    }
    const ssize_t received = ::recv(descriptor_, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (received == 0 || (received < 0 && errno == ECONNRESET)) {
      return std::string("the daemon closed the connection before it replied");
    }
    if (received < 0 && errno != EINTR && errno != EAGAIN) {
      return fmt::format("cannot read from the daemon: {}", std::strerror(errno));
    }
    if (received > 0) reader_.append(std::string_view(chunk.data(), static_cast<std::size_t>(received)));
  }
}

}  // namespace vosk::ctl
