#pragma once

#include <cstdint>

namespace vosk::backend {

struct DescriptorLimit {
  std::uint64_t soft = 0;
  std::uint64_t hard = 0;
};

// Raises the soft limit on open descriptors to the hard limit; returns the
// limits now in force.
DescriptorLimit raiseDescriptorLimit();

}  // namespace vosk::backend
