#pragma once

#include <functional>
#include <string_view>

namespace vosk {

// Posts a named notification without payload to other processes. `posted` runs
// once the notification has gone out, on whichever thread delivered it; it
// never runs for one that could not be delivered (the poster reports that).
class NotificationPoster {
 public:
  using Posted = std::function<void()>;

  virtual ~NotificationPoster() = default;
  virtual void post(std::string_view name, Posted posted) = 0;
};

}  // namespace vosk
