#pragma once

namespace vosk::config {

// Where the daemon and voskctl meet unless told otherwise.
inline constexpr const char* defaultConfigurationPath = "/etc/vosk-filter/config.json";
inline constexpr const char* defaultPidFilePath = "/run/vosk-filter.pid";
inline constexpr const char* defaultControlSocketPath = "/run/vosk-filter/control.sock";

}  // namespace vosk::config
