#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vosk::control {

inline constexpr std::size_t kSkippedLinesShown = 5;

struct SkippedEntry {
  std::size_t line = 0;  // from 1
  std::string reason;
};

// What a list of names brings to a block list.
struct ImportedNames {
  std::vector<std::string> added;  // new names, normalised, in the order of the list
  std::size_t linesRead = 0;
  std::size_t folded = 0;   // repeated, already listed, or under a listed parent domain
  std::size_t skipped = 0;  // entries that are no name to block
  std::vector<SkippedEntry> firstSkipped;  // the first kSkippedLinesShown of them
};

// Reads a hosts file ("0.0.0.0 name other.name", also 127.0.0.1, :: and ::1;
// comments after "#"), an adblock-style list ("||name^"; "!" comments; rules
// with options, paths, exceptions or element hiding are skipped) or a plain
// list of one name a line, in any mix. Names are normalised as the daemon
// normalises entries. A name equal to or under one of `alreadyListed` or of
// the list itself (a parent domain covers its subdomains) is folded away.
ImportedNames importNames(std::string_view text, const std::vector<std::string>& alreadyListed);

}  // namespace vosk::control
