#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "config/configuration_file.hpp"

namespace vosk::config {

// Replaces the file at `path` with `contents` so that a reader sees the old
// file or the new one, never a mixture, also across a crash: a temporary file
// in the same directory, written and synced, takes the old file's owner and
// mode (`modeOfNewFile` when there was none), is renamed over it, and the
// directory is synced. On failure the old file is untouched and the
// temporary file removed.
std::optional<ConfigurationProblem> replaceFile(const std::string& path, std::string_view contents,
                                                mode_t modeOfNewFile = 0644);

}  // namespace vosk::config
