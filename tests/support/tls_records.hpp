#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vosk::test {

// Sends the payload of one TLS record again as several records, cut into
// fragments whose lengths are taken from `fragmentLengths` in turn (cycled;
// a length of 0 counts as 1). Header type and version stay as they were.
inline std::vector<std::uint8_t> splitIntoRecords(std::span<const std::uint8_t> record,
                                                  std::span<const std::size_t> fragmentLengths) {
  constexpr std::size_t kHeaderLength = 5;
  std::vector<std::uint8_t> records;
  const auto payload = record.subspan(kHeaderLength);
  std::size_t offset = 0;
  for (std::size_t i = 0; offset < payload.size(); ++i) {
    const std::size_t wanted = std::max<std::size_t>(1, fragmentLengths[i % fragmentLengths.size()]);
    const std::size_t length = std::min(wanted, payload.size() - offset);
    records.insert(records.end(), record.begin(), record.begin() + 3);
    records.push_back(static_cast<std::uint8_t>(length >> 8));
    records.push_back(static_cast<std::uint8_t>(length & 0xFF));
    const auto fragment = payload.subspan(offset, length);
    records.insert(records.end(), fragment.begin(), fragment.end());
    offset += length;
  }
  return records;
}

}  // namespace vosk::test
