#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
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

// A ClientHello captured from curl, its server name "allowed.test" overwritten
// in place by a name of the same length, so every length field stays right.
inline std::vector<std::uint8_t> curlHelloNaming(std::string_view name) {
  std::vector<std::uint8_t> hello = readFileBytes(std::filesystem::path(VOSK_TEST_DATA_DIR) / "tls/clienthello-curl.bin");
  const std::string_view captured = "allowed.test";
  const auto at = std::search(hello.begin(), hello.end(), captured.begin(), captured.end());
  if (name.size() != captured.size() || at == hello.end()) throw std::logic_error("no such ClientHello");
  std::copy(name.begin(), name.end(), at);
  return hello;
}

}  // namespace vosk::test
