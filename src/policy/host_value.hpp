#pragma once

#include <string_view>

#include "policy/host_extraction.hpp"

namespace vosk {

// The host a Host header value names, as a server reads it: surrounding
// horizontal space trimmed, the port cut, Latin-1 decoded into UTF-8; not
// found when nothing is left. Shared by the HTTP/1 and HTTP/2 readers.
HostExtraction hostOfHostValue(std::string_view value);

}  // namespace vosk
