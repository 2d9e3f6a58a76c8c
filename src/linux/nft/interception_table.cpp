#include "linux/nft/interception_table.hpp"

#include <arpa/inet.h>
#include <nftables/libnftables.h>

#include <fmt/format.h>

#include "config/number_text.hpp"

namespace vosk::backend {
namespace {

constexpr int natOutputPriority = -100;
constexpr int natPreroutingPriority = -100;
constexpr int ipv4Bits = 32;
constexpr int ipv6Bits = 128;

// Left to the system in both NAT chains: local destinations (the listeners
// among them), and IPv6 link-local ones, which only mean something with the
// interface the application chose. The original destination read after a
// redirect does not carry that interface, so the daemon could not reach them;
// such traffic never leaves the link, and passing it is simpler than
// recovering the interface from elsewhere.
constexpr std::string_view leftToTheSystem =
    "\t\tfib daddr type local return\n"
    "\t\tip6 daddr fe80::/10 return\n";

// One TCP rule as an nftables statement, or why it cannot be one.
Failure tcpRedirect(const NetworkRule& rule, const InterceptionTarget& target, std::string& statement) {
  const std::string& host = rule.remoteNetwork.hostname();
  unsigned char address[16];
  std::string family;
  int bits = 0;
  if (inet_pton(AF_INET, host.c_str(), address) == 1) {
    family = "ip";
    bits = ipv4Bits;
  } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
    family = "ip6";
    bits = ipv6Bits;
  } else {
    return Failure{fmt::format("the rule's remote network \"{}\" is not an IP address", host), {}};
  }
  if (rule.remotePrefix < 0 || rule.remotePrefix > bits) {
    return Failure{fmt::format("the rule's prefix /{} does not fit {}", rule.remotePrefix, host), {}};
  }
  statement = fmt::format("meta nfproto {}", family == "ip" ? "ipv4" : "ipv6");
  if (rule.remotePrefix > 0) statement += fmt::format(" {} daddr {}/{}", family, host, rule.remotePrefix);
  const std::string& portText = rule.remoteNetwork.port();
  const std::optional<std::uint16_t> port = config::parseWholeNumber<std::uint16_t>(portText);
  if (!portText.empty() && !port) {
    return Failure{fmt::format("the rule's remote port \"{}\" is not a port number", portText), {}};
  }
  if (port && *port != 0) statement += fmt::format(" tcp dport {}", *port);
  else statement += " meta l4proto tcp";
  statement += fmt::format(" redirect to :{}", target.listenerPort);
  return {};
}

// `{ "br-lan", "wlan0" }`
std::string interfaceSet(const std::vector<std::string>& interfaces) {
  std::string set;
  for (const std::string& name : interfaces) set += fmt::format("{}\"{}\"", set.empty() ? "{ " : ", ", name);
  return set + " }";
}

// The match that keeps a forward-path rule to `forwarded` ("" for every interface).
std::string arrivingOn(const ForwardedInterfaces& forwarded) {
  return forwarded.every ? "" : fmt::format("iifname {} ", interfaceSet(forwarded.named));
}

// The first rule of a prerouting chain: what does not arrive from `forwarded`
// returns. Loopback always does: its connections the output chains judged.
std::string notForwarded(const ForwardedInterfaces& forwarded) {
  return fmt::format("\t\tiifname {} return\n", forwarded.every ? "\"lo\"" : "!= " + interfaceSet(forwarded.named));
}

}  // namespace

std::string encryptedDnsPortRefusal(const ForwardedInterfaces& forwarded) {
  std::string chains =
      "\tchain strict {\n"
      "\t\ttype filter hook output priority 0; policy accept;\n"
      "\t\tfib daddr type local return\n"
      "\t\ttcp dport 853 reject with tcp reset\n"
      "\t\tudp dport 853 reject with icmpx type port-unreachable\n"
      "\t}\n";
  if (!forwarded.any()) return chains;
  const std::string interfaces = arrivingOn(forwarded);
  return chains + fmt::format(
                      "\tchain strict_forward {{\n"
                      "\t\ttype filter hook forward priority 0; policy accept;\n"
                      "\t\t{}tcp dport 853 reject with tcp reset\n"
                      "\t\t{}udp dport 853 reject with icmpx type port-unreachable\n"
                      "\t}}\n",
                      interfaces, interfaces);
}

std::string dnsOverTcpRedirect(const InterceptionTarget& target, const ForwardedInterfaces& forwarded) {
  const std::string redirect =
      fmt::format("{}\t\ttcp dport 53 redirect to :{}\n", leftToTheSystem, target.dnsListenerPort);
  // As for the flows' listeners: only loopback and redirected connections reach it.
  std::string chains = fmt::format(
      "\tchain strict_dns {{\n"
      "\t\ttype nat hook output priority {}; policy accept;\n"
      "\t\tmeta mark & {:#x} == {:#x} return\n"
      "{}"
      "\t}}\n"
      "\tchain strict_dns_listener_guard {{\n"
      "\t\ttype filter hook input priority 0; policy accept;\n"
      "\t\ttcp dport {} iifname != \"lo\" ct status & dnat == 0 reject with tcp reset\n"
      "\t}}\n",
      natOutputPriority, target.firewallMark, target.firewallMark, redirect, target.dnsListenerPort);
  if (!forwarded.any()) return chains;
  return chains + fmt::format(
                      "\tchain strict_dns_gateway {{\n"
                      "\t\ttype nat hook prerouting priority {}; policy accept;\n"
                      "{}"
                      "{}"
                      "\t}}\n",
                      natPreroutingPriority, notForwarded(forwarded), redirect);
}

Failure planInterception(const std::vector<NetworkRule>& rules, const InterceptionTarget& target,
                         const ForwardedInterfaces& forwarded, InterceptionPlan& plan) {
  plan = {};
  std::string redirects;
  for (const NetworkRule& rule : rules) {
    if (rule.direction != TrafficDirection::outbound || rule.localNetwork) {
      return Failure{"only outbound rules without a local network can be intercepted", {}};
    }
    if (rule.protocol == NetworkRuleProtocol::udp) {
      plan.udpRules.push_back(rule);
      continue;
    }
    if (rule.protocol != NetworkRuleProtocol::tcp) return Failure{"only TCP and UDP rules can be intercepted", {}};
    std::string statement;
    if (Failure failure = tcpRedirect(rule, target, statement)) return failure;
    redirects += "\t\t" + statement + "\n";
  }
  // The daemon's own connections carry the mark.
  plan.tableDefinition = fmt::format(
      "\tchain output {{\n"
      "\t\ttype nat hook output priority {}; policy accept;\n"
      "\t\tmeta mark & {:#x} == {:#x} return\n"
      "{}"
      "{}"
      "\t}}\n",
      natOutputPriority, target.firewallMark, target.firewallMark, leftToTheSystem, redirects);
  // The listeners take any address (a redirect in prerouting goes to the
  // incoming interface's address): only loopback and redirected connections
  // may reach them, so they are no proxy for anyone who finds the port.
  plan.tableDefinition += fmt::format(
      "\tchain listener_guard {{\n"
      "\t\ttype filter hook input priority 0; policy accept;\n"
      "\t\ttcp dport {} iifname != \"lo\" ct status & dnat == 0 reject with tcp reset\n"
      "\t}}\n",
      target.listenerPort);
  if (forwarded.any()) {
    plan.tableDefinition += fmt::format(
        "\tchain gateway {{\n"
        "\t\ttype nat hook prerouting priority {}; policy accept;\n"
        "{}"
        "{}"
        "{}"
        "\t}}\n",
        natPreroutingPriority, notForwarded(forwarded), leftToTheSystem, redirects);
  }
  return {};
}

InterceptionTable::InterceptionTable() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  nft_ctx_buffer_output(context_);
  nft_ctx_buffer_error(context_);
}

InterceptionTable::~InterceptionTable() { nft_ctx_free(context_); }

Failure InterceptionTable::install(const std::string& tableDefinition) {
  // An owner table is ours alone: nobody else can have changed it.
  if (installed_ == tableDefinition) return {};
  // The owner flag cannot be set again on a live table: replace it whole.
  const std::string commands =
      fmt::format("{}table inet {} {{\n\tflags owner\n{}}}\n",
                  installed_ ? fmt::format("delete table inet {}\n", interceptionTableName) : "",
                  interceptionTableName, tableDefinition);
  Failure failure = run(commands);
  if (!failure) installed_ = tableDefinition;
  return failure;
}

void InterceptionTable::remove() {
  if (!installed_) return;
  run(fmt::format("delete table inet {}\n", interceptionTableName));
  installed_.reset();
}

Failure InterceptionTable::run(const std::string& commands) {
  if (nft_run_cmd_from_buffer(context_, commands.c_str()) == 0) return {};
  // The error buffer empties on every read: read it once.
  std::string detail = nft_ctx_get_error_buffer(context_);
  detail = detail.substr(0, detail.find('\n'));
  if (detail.starts_with("Error: ")) detail.erase(0, 7);
  if (detail.empty()) detail = "unknown error";
  std::string hint;
  if (detail.find("Operation not permitted") != std::string::npos) hint = " (the daemon needs CAP_NET_ADMIN)";
  else if (detail.find("No such file or directory") != std::string::npos ||
           detail.find("Protocol not supported") != std::string::npos)
    hint = " (is nf_tables with nat, fib and redirect available in this kernel?)";
  return Failure{fmt::format("nftables refused the interception table: {}{}", detail, hint), {}};
}

}  // namespace vosk::backend
