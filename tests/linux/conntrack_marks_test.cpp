#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include "linux/nft/conntrack_marks.hpp"
#include "linux/conntrack_namespace.hpp"

namespace vosk::backend {
namespace {

using namespace test;

// What the child found besides the shared statuses.
enum MarksStatus { setFailed = firstTestStatus, wrongMark };

// The mark conntrack shows for the connection (the namespace holds no other
// with these ports).
std::optional<std::uint32_t> markOf(const ConnectionTuple& tuple) {
  const std::string family = tuple.ipVersion == 4 ? "ipv4 " : "ipv6 ";
  const std::string original =
      " sport=" + std::to_string(tuple.clientPort) + " dport=" + std::to_string(tuple.serverPort) + " ";
  const std::string markField = " mark=";
  std::ifstream table("/proc/net/nf_conntrack");
  for (std::string line; std::getline(table, line);) {
    const std::size_t mark = line.find(markField);
    if (line.starts_with(family) && line.find(original) != std::string::npos && mark != std::string::npos) {
      return static_cast<std::uint32_t>(std::stoul(line.substr(mark + markField.size())));
    }
  }
  return std::nullopt;
}

int markInOwnNamespace() {
  Failure failure;
  const auto marks = ConntrackMarks::open(failure);
  if (!marks) return reported(failure, noConntrack);
  struct Step {
    std::uint32_t bits, value, expected;
  };
  // Bits outside a call's are kept; within them, those not in the value are cleared.
  constexpr Step steps[] = {{0x0000ff00, 0x00001200, 0x00001200},
                            {0x00300000, 0x00100000, 0x00101200},
                            {0x00300000, 0x00200000, 0x00201200}};
  for (const int family : {AF_INET, AF_INET6}) {
    const std::optional<LoopbackConnection> connection = connectOverLoopback(family);
    if (!connection) return setupFailed;
    const ConnectionTuple* tuple = &connection->tuple;
    for (const Step& step : steps) {
      if ((failure = marks->setMarkBits(*tuple, step.bits, step.value))) return reported(failure, setFailed);
      if (markOf(*tuple) != step.expected) return wrongMark;
    }
    ConnectionTuple untracked = *tuple;
    ++untracked.serverPort;
    if ((failure = marks->setMarkBits(untracked, 0x00300000, 0x00200000))) return reported(failure, setFailed);
  }
  return childPassed;
}

TEST(ConntrackMarksTest, SetsOnlyTheGivenBitsAndIgnoresUntrackedConnections) {
  expectPassedInOwnNamespace(markInOwnNamespace);
}

}  // namespace
}  // namespace vosk::backend
