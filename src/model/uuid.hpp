#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vosk {

// A 128-bit UUID, read from and written as its 36-character text form.
class Uuid {
 public:
  constexpr Uuid() = default;
  explicit constexpr Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

  // Accepts 8-4-4-4-12 hexadecimal digits in either case; nothing else.
  static std::optional<Uuid> fromString(std::string_view text);
  // Upper-case hexadecimal digits.
  std::string toString() const;

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  friend bool operator==(const Uuid&, const Uuid&) = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace vosk

template <>
struct std::hash<vosk::Uuid> {
  std::size_t operator()(const vosk::Uuid& uuid) const noexcept {
    std::size_t h = 0;
    for (std::uint8_t b : uuid.bytes()) h = h * 131 + b;
    return h;
  }
};
