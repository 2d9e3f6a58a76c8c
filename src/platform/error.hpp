#pragma once

#include <string>

namespace vosk {

// A failure reported by a platform operation. The system only ever shows it.
struct Error {
  std::string localizedDescription;
};

}  // namespace vosk
