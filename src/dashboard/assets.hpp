#pragma once

#include <span>
#include <string_view>

namespace vosk::dashboard {

// The style sheet and script, built into the program: nothing is fetched
// from elsewhere, and the pages need no inline script.
struct Asset {
  const char* path;
  std::string_view content;
  const char* type;
};

std::span<const Asset> assets();

}  // namespace vosk::dashboard
