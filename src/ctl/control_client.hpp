#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "control/varlink.hpp"

namespace vosk::ctl {

// An error reply in words: its `message` when it has one.
std::string errorText(const std::string& error, const nlohmann::json& parameters);
// An RFC 3339 time of a reply as people read it here, "2026-12-07 17:00 CET"
// (schedules and pauses are local); empty for anything else.
std::string localTimeText(const nlohmann::json& rfc3339);
// What an Import read from `label` (a file's name): lines read, added,
// folded and skipped, then the first skipped lines, each on its own line.
std::string importSummary(const std::string& label, const nlohmann::json& reply);

// How long a call waits for the daemon without a byte moving: for the reply
// (an import of a million names takes seconds before it is answered), for
// room to send more of a call and its raw bytes, for the connection to be
// accepted when the daemon's backlog is full.
inline constexpr std::chrono::seconds replyTimeout{60};
inline constexpr std::chrono::seconds sendTimeout{10};
inline constexpr std::chrono::seconds connectTimeout{10};
// Replies may be far larger than calls: the sites of a million-name list.
inline constexpr std::size_t maxReplyBytes = std::size_t{256} << 20;

struct ConnectFailure {
  bool noDaemon = false;  // nothing listens on the socket (ENOENT or ECONNREFUSED)
  std::string message;
};

// One connection to the daemon's control socket; calls go one after another.
class ControlClient {
 public:
  static std::variant<ControlClient, ConnectFailure> connect(const std::string& socketPath);

  // Sends one call and waits for its one reply; `raw` bytes follow the call
  // when it is an upgrade call (sending them stops when the daemon answers
  // early, as it does to refuse them). A reply that is an error comes back as
  // a Reply with `error` set; a transport failure (peer closed, timeout,
  // reply over the cap, not a reply) as a text, after which the connection
  // is of no further use. Not for oneway calls.
  std::variant<control::Reply, std::string> call(const control::Call& call, std::string_view raw = {});

  ControlClient(ControlClient&& other) noexcept;
  ControlClient& operator=(ControlClient&& other) noexcept;
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;
  ~ControlClient();

 private:
  explicit ControlClient(int descriptor) : descriptor_(descriptor) {}

  // Nothing when sent or when the daemon spoke or went away first (the reply
  // tells which); why not otherwise.
  std::optional<std::string> send(std::string_view bytes);
  std::variant<control::Reply, std::string> receive();

  int descriptor_;
  control::MessageReader reader_{maxReplyBytes};
};

}  // namespace vosk::ctl
