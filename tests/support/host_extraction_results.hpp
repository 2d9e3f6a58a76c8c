#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "policy/host_extraction.hpp"

namespace vosk {

inline bool operator==(const HostExtraction& a, const HostExtraction& b) {
  return a.host == b.host && a.needsMoreData == b.needsMoreData;
}

inline void PrintTo(const HostExtraction& result, std::ostream* os) {
  if (result.host) {
    *os << "found \"" << *result.host << '"';
  } else {
    *os << (result.needsMoreData ? "incomplete" : "not found");
  }
  if (result.host && result.needsMoreData) *os << " (needsMoreData set!)";
}

namespace test {

inline HostExtraction found(std::string host) { return {std::move(host), false}; }
inline const HostExtraction kIncomplete{std::nullopt, true};
inline const HostExtraction kNotFound{std::nullopt, false};

}  // namespace test
}  // namespace vosk
