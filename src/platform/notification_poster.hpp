#pragma once

#include <string_view>

namespace vosk {

// Posts a named notification without payload to other processes; fire and forget.
class NotificationPoster {
 public:
  virtual ~NotificationPoster() = default;
  virtual void post(std::string_view name) = 0;
};

}  // namespace vosk
