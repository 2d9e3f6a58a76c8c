#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux/failure.hpp"
#include "linux/nft/forwarded_interfaces.hpp"
#include "platform/proxy_provider.hpp"

struct nft_ctx;

namespace vosk::backend {

inline constexpr const char* interceptionTableName = "vosk_filter";

// Where intercepted TCP goes and what lets the daemon's own connections pass.
struct InterceptionTarget {
  std::uint16_t listenerPort = 0;
  std::uint32_t firewallMark = 0;
  std::uint16_t dnsListenerPort = 0;  // DNS over TCP, in strict mode
};

// The network rules turned into nftables text: TCP rules redirect to the
// listeners; UDP rules cannot be redirected and are handed back as they are.
struct InterceptionPlan {
  std::string tableDefinition;  // the body of `table inet vosk_filter { ... }`
  std::vector<NetworkRule> udpRules;
};

// Added to the table while strict mode is in force: outbound TCP and UDP to
// port 853 (DNS over TLS and over QUIC), the host's own and that forwarded
// from `forwarded`, are refused at once, TCP with a reset and UDP
// with ICMP port unreachable, so resolvers fall back to plain DNS instead of
// waiting; a connection already open is cut at its next packet. Dies with
// the table.
std::string encryptedDnsPortRefusal(const ForwardedInterfaces& forwarded);

// Added to the table while strict mode is in force: outbound TCP to port 53,
// the host's own and that forwarded from `forwarded`, is redirected to the
// DNS listener, whose answers are rewritten as the DNS guard rewrites those
// over UDP. Local destinations (a resolver on this host) are left alone, as
// its own upstream queries are not.
std::string dnsOverTcpRedirect(const InterceptionTarget& target, const ForwardedInterfaces& forwarded);

// `forwarded`: TCP arriving on them to be forwarded is redirected as the
// host's own is (names already checked by the configuration parser).
// The plan goes to `plan`; a rule the table cannot express is a failure.
Failure planInterception(const std::vector<NetworkRule>& rules, const InterceptionTarget& target,
                         const ForwardedInterfaces& forwarded, InterceptionPlan& plan);

// Our nftables table. It is owned by this process: the kernel deletes it the
// moment the process ends, however it ends, so a dead filter never blocks
// traffic.
class InterceptionTable {
 public:
  InterceptionTable();
  ~InterceptionTable();
  InterceptionTable(const InterceptionTable&) = delete;
  InterceptionTable& operator=(const InterceptionTable&) = delete;

  // Installs the table, or replaces the installed one, in one transaction;
  // the same definition again changes nothing (a settings change through the
  // control socket restarts the provider, which asks for its rules each time).
  Failure install(const std::string& tableDefinition);
  void remove();

 private:
  Failure run(const std::string& commands);

  nft_ctx* context_;
  std::optional<std::string> installed_;  // the definition in force
};

}  // namespace vosk::backend
