#pragma once

#include <chrono>
#include <compare>

namespace vosk {

// A point on the monotonic clock, in seconds from an arbitrary origin.
// Durations are differences of two instants, as double seconds.
class Instant {
 public:
  constexpr Instant() = default;
  static constexpr Instant fromSeconds(double seconds) { return Instant(seconds); }

  // Earlier than any real instant, yet far enough from overflow that
  // `now - distantPast()` is an ordinary, very large duration.
  static constexpr Instant distantPast() { return Instant(-1.0e12); }

  constexpr double secondsSinceOrigin() const { return seconds_; }
  constexpr Instant operator+(double seconds) const { return Instant(seconds_ + seconds); }
  friend constexpr double operator-(Instant a, Instant b) { return a.seconds_ - b.seconds_; }
  friend constexpr auto operator<=>(Instant, Instant) = default;

 private:
  constexpr explicit Instant(double seconds) : seconds_(seconds) {}
  double seconds_ = 0.0;
};

// The one source of time; injected so that tests run in virtual time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

// The real monotonic clock's reading, for the programs' own clocks.
inline Instant steadyClockNow() {
  return Instant::fromSeconds(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace vosk
