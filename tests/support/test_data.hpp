#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

// Captured first bytes of real clients live under tests/data (see
// scripts/capture-first-bytes). Header-only: VOSK_TEST_DATA_DIR is defined
// for the test binary.
namespace vosk::test {

inline std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every file of tests/data/<directory> (not those in folders below it), in name order.
inline std::vector<std::filesystem::path> testDataFiles(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(VOSK_TEST_DATA_DIR) / directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace vosk::test
