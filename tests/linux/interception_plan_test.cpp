#include <gtest/gtest.h>

#include "linux/nft/interception_table.hpp"

namespace vosk::backend {
namespace {

NetworkRule rule(std::string host, std::string port, NetworkRuleProtocol protocol, int prefix = 0) {
  return NetworkRule{HostEndpoint(std::move(host), std::move(port)), prefix, std::nullopt, 0, protocol,
                     TrafficDirection::outbound};
}

const InterceptionTarget target{15443, 0x20000000};

InterceptionPlan planned(const std::vector<NetworkRule>& rules, const ForwardedInterfaces& forwarded = {}) {
  InterceptionPlan plan;
  EXPECT_FALSE(planInterception(rules, target, forwarded, plan));
  return plan;
}

TEST(InterceptionPlanTest, TcpRulesRedirectAndUdpRulesAreHandedBack) {
  using enum NetworkRuleProtocol;
  const std::vector<NetworkRule> rules{rule("0.0.0.0", "443", tcp), rule("0.0.0.0", "80", tcp),
                                       rule("0.0.0.0", "443", udp), rule("::", "443", tcp),
                                       rule("::", "80", tcp),       rule("::", "443", udp)};
  const auto plan = planned(rules);
  // The daemon's own marked traffic and local destinations must never loop back into the redirect.
  const std::string& table = plan.tableDefinition;
  EXPECT_LT(table.find("meta mark & 0x20000000 == 0x20000000 return"), table.find("redirect"));
  EXPECT_LT(table.find("fib daddr type local return"), table.find("redirect"));
  EXPECT_NE(table.find("meta nfproto ipv6 tcp dport 80 redirect to :15443"), std::string::npos);
  EXPECT_EQ(table.find("udp"), std::string::npos);
  // A connection to the listeners that no redirect brought is refused from outside.
  EXPECT_NE(table.find("tcp dport 15443 iifname != \"lo\" ct status & dnat == 0 reject with tcp reset"),
            std::string::npos);
  ASSERT_EQ(plan.udpRules.size(), 2u);
  EXPECT_EQ(plan.udpRules[1].remoteNetwork, HostEndpoint("::", "443"));
}

// A link-local destination needs the interface the application chose, which a
// redirect loses: both NAT chains leave it to the system.
TEST(InterceptionPlanTest, LinkLocalDestinationsAreNotRedirected) {
  const auto plan = planned({rule("::", "443", NetworkRuleProtocol::tcp)}, {false, {"lan0"}});
  const std::string& table = plan.tableDefinition;
  for (const std::string_view chain : {"chain output", "chain gateway"}) {
    const std::size_t start = table.find(chain);
    ASSERT_NE(start, std::string::npos) << chain;
    EXPECT_LT(table.find("ip6 daddr fe80::/10 return", start), table.find("redirect", start)) << chain;
  }
}

// In strict mode DNS over TCP goes to its listener, but never the daemon's own
// upstream connection (it would loop) nor a query to a resolver on this host.
TEST(InterceptionPlanTest, StrictModeRedirectsDnsOverTcpExceptTheDaemonsOwn) {
  const InterceptionTarget dnsTarget{15443, 0x20000000, 15053};
  const std::string host = dnsOverTcpRedirect(dnsTarget, {});
  const std::size_t redirect = host.find("tcp dport 53 redirect to :15053");
  ASSERT_NE(redirect, std::string::npos);
  EXPECT_LT(host.find("meta mark & 0x20000000 == 0x20000000 return"), redirect);
  EXPECT_LT(host.find("fib daddr type local return"), redirect);
  EXPECT_EQ(host.find("prerouting"), std::string::npos);
  const std::string gateway = dnsOverTcpRedirect(dnsTarget, ForwardedInterfaces{false, {"lan0"}});
  const std::size_t forwarded = gateway.find("prerouting");
  ASSERT_NE(forwarded, std::string::npos);
  EXPECT_LT(gateway.find("iifname != { \"lan0\" } return", forwarded), gateway.find("redirect", forwarded));
}

// Gateway interfaces named, every interface (strict mode without any named),
// or none: what the forward-path chains match on.
TEST(InterceptionPlanTest, ForwardedTrafficIsTakenFromTheInterfacesInForce) {
  struct Case {
    ForwardedInterfaces forwarded;
    const char* gatewayFilter;  // null: no gateway chain
    const char* portRefusal;    // null: no strict_forward chain
  };
  const Case cases[] = {
      {{false, {"lan0", "wlan0"}}, "iifname != { \"lan0\", \"wlan0\" } return",
       "iifname { \"lan0\", \"wlan0\" } udp dport 853 reject"},
      {{true, {}}, "iifname \"lo\" return", "\t\tudp dport 853 reject"},
      {{false, {}}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    const std::string table = planned({rule("0.0.0.0", "443", NetworkRuleProtocol::tcp)}, c.forwarded).tableDefinition;
    const std::string refusal = encryptedDnsPortRefusal(c.forwarded);
    const std::size_t gateway = table.find("chain gateway");
    ASSERT_EQ(gateway != std::string::npos, c.gatewayFilter != nullptr) << c.forwarded.every;
    ASSERT_EQ(refusal.find("strict_forward") != std::string::npos, c.portRefusal != nullptr);
    if (c.gatewayFilter == nullptr) continue;
    EXPECT_LT(table.find(c.gatewayFilter, gateway), table.find("redirect", gateway)) << c.gatewayFilter;
    EXPECT_NE(refusal.find(c.portRefusal, refusal.find("strict_forward")), std::string::npos) << c.portRefusal;
  }
}

TEST(InterceptionPlanTest, PrefixesAndAnyPort) {
  using enum NetworkRuleProtocol;
  const auto plan = planned({rule("198.18.0.0", "0", tcp, 15), rule("2001:db8::", "", tcp, 32)});
  EXPECT_NE(plan.tableDefinition.find("meta nfproto ipv4 ip daddr 198.18.0.0/15 meta l4proto tcp redirect"),
            std::string::npos);
  EXPECT_NE(plan.tableDefinition.find("meta nfproto ipv6 ip6 daddr 2001:db8::/32 meta l4proto tcp redirect"),
            std::string::npos);
}

TEST(InterceptionPlanTest, RulesThatCannotBeExpressedAreErrors) {
  using enum NetworkRuleProtocol;
  const auto error = [](NetworkRule r) {
    InterceptionPlan plan;
    return planInterception({std::move(r)}, target, {}, plan).message();
  };
  EXPECT_EQ(error(rule("example.test", "443", tcp)), "the rule's remote network \"example.test\" is not an IP address");
  EXPECT_EQ(error(rule("0.0.0.0", "443", tcp, 33)), "the rule's prefix /33 does not fit 0.0.0.0");
  EXPECT_EQ(error(rule("::", "https", tcp)), "the rule's remote port \"https\" is not a port number");
  EXPECT_EQ(error(rule("::", "70000", tcp)), "the rule's remote port \"70000\" is not a port number");
  EXPECT_EQ(error(rule("::", "443", any)), "only TCP and UDP rules can be intercepted");
  NetworkRule inbound = rule("::", "443", tcp);
  inbound.direction = TrafficDirection::inbound;
  EXPECT_EQ(error(inbound), "only outbound rules without a local network can be intercepted");
}

}  // namespace
}  // namespace vosk::backend
