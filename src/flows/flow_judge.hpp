#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "model/blocked_site.hpp"
#include "platform/flow.hpp"
#include "platform/logger.hpp"
#include "policy/host_extraction.hpp"

namespace vosk {

// How the switches and lists in force judge a flow by its host.
struct FlowDecision {
  // The block-list site the host belongs to (it keeps its list alive); null otherwise.
  std::shared_ptr<const BlockedSite> site;
  // A public encrypted-DNS endpoint, closed in strict mode without a notification.
  bool encryptedDns = false;
  // No host could be read (no name, the cap reached, another protocol): in
  // strict mode such a flow is closed rather than passed unjudged.
  bool unreadable = false;

  bool closes() const { return site != nullptr || encryptedDns || unreadable; }
};

// The only port text for which the first bytes are read as a TLS ClientHello.
inline constexpr std::string_view tlsPortText = "443";

// The host named by a flow's first bytes, read by the parser its port calls
// for; more data is asked for only below maxSniffBytes.
HostExtraction inspectFirstBytes(std::span<const std::uint8_t> bytes, std::string_view portText);
// The port text of a host endpoint; empty for any other kind of endpoint.
std::string portTextOf(const Flow& flow);
// Whether a flow to this port is read as HTTP/1 requests (every port but TLS's).
bool readsHTTP(std::string_view portText);
// The line of a flow closed because its client went quiet before naming a host.
void logSniffTimedOut(const Logger& log, std::string_view portText);

// What judges a flow by the host its first bytes name, whoever carries it:
// the decision under the switches and lists in force, with its log line, and
// what a closed flow leaves behind.
class FlowJudge {
 public:
  virtual ~FlowJudge() = default;

  // Strict mode in force: "strictMode" and blocking both on. Any thread.
  virtual bool strictModeActive() const = 0;
  // Judges a flow by the host its first bytes named (absent: none in
  // `bytesRead` bytes) under the switches and lists in force now, and logs
  // the decision. Any thread.
  virtual FlowDecision decideFlow(const std::optional<std::string>& host, std::string_view portText,
                                  std::size_t bytesRead) const = 0;
  // What a flow closed by `decision` leaves: its history record and, for a
  // listed site, the notification; nothing without a host.
  virtual void reportBlocked(const FlowDecision& decision, const std::optional<std::string>& host,
                             std::string_view portText) = 0;
  // Whether a flow let through earlier, which named `host` (absent: none
  // read), is closed under the switches and lists in force now: a host now
  // blocked; in strict mode, no host. Logs nothing. Any thread.
  virtual bool closesNow(const std::optional<std::string>& host, std::string_view portText) const = 0;
  // Hands a flow let through earlier, which named `host`, to the history if
  // the switches and lists in force now close it for that host, as the
  // judgement of its first bytes would have: its site, or encrypted DNS.
  // Records nothing otherwise, and posts no notification: nobody tried
  // anything new.
  virtual void recordClosedNow(const std::string& host, std::string_view portText) = 0;
};

}  // namespace vosk
