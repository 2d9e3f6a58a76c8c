#include "control/import_list.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <bit>
#include <functional>

#include "config/domain_entry.hpp"

namespace vosk::control {
namespace {

// The addresses hosts-file block lists send names to.
constexpr std::array<std::string_view, 4> kBlockingAddresses = {"0.0.0.0", "127.0.0.1", "::", "::1"};
// Names a hosts file maps for the machine itself, never a site.
constexpr std::array<std::string_view, 12> kLocalNames = {
    "localhost",     "localhost.localdomain", "local",         "broadcasthost", "ip6-localhost", "ip6-loopback",
    "ip6-localnet",  "ip6-mcastprefix",       "ip6-allnodes",  "ip6-allrouters", "ip6-allhosts", "0.0.0.0"};

constexpr std::string_view kWhitespace = " \t\r\f\v";

std::string_view trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kWhitespace);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kWhitespace) - start + 1);
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> found;
  for (std::size_t start = text.find_first_not_of(kWhitespace); start != std::string_view::npos;) {
    const std::size_t end = std::min(text.find_first_of(kWhitespace, start), text.size());
    found.push_back(text.substr(start, end - start));
    start = text.find_first_not_of(kWhitespace, end);
  }
  return found;
}

bool looksLikeAddress(std::string_view word) {
  return word.find(':') != std::string_view::npos ||
         (!word.empty() && std::all_of(word.begin(), word.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; }) &&
          std::count(word.begin(), word.end(), '.') == 3);
}

template <std::size_t N>
bool isOneOf(std::string_view word, const std::array<std::string_view, N>& list) {
  return std::find(list.begin(), list.end(), word) != list.end();
}

// One line's names, or why it has none.
class LineReader {
 public:
  explicit LineReader(ImportedNames& result) : result_(result) {}

  void read(std::size_t number, std::string_view line) {
    number_ = number;
    line = trimmed(line);
    if (line.empty() || line.front() == '!' || line.front() == '#') return;
    if (line.starts_with("||")) return readAdblockRule(line);
    if (line.starts_with("@@")) return skip("an exception rule");
    if (line.find("##") != std::string_view::npos || line.find("#@#") != std::string_view::npos ||
        line.find("#?#") != std::string_view::npos) {
      return skip("an element-hiding rule");
    }
    if (line.front() == '[') return skip("not a name");
    const std::vector<std::string_view> found = words(line.substr(0, line.find('#')));
    if (looksLikeAddress(found.front())) return readHostsLine(found);
    if (found.size() > 1) return skip("more than one word");
    addName(found.front());
  }

  std::vector<std::string> names;  // normalised, without the trailing dot, in order

 private:
  void readAdblockRule(std::string_view line) {
    const std::string_view name = line.substr(2, line.size() - 3);
    if (!line.ends_with('^') || line.size() < 4 || name.find_first_of("^$/|*?=:") != std::string_view::npos) {
      return skip("an adblock rule with options or a path");
    }
    addName(name);
  }

  void readHostsLine(const std::vector<std::string_view>& found) {
    if (!isOneOf(found.front(), kBlockingAddresses)) {
      return skip(fmt::format("it maps names to {}, not to a blocking address", found.front()));
    }
    if (found.size() == 1) return skip("an address without a name");
    for (std::size_t i = 1; i < found.size(); ++i) {
      if (isOneOf(found[i], kLocalNames)) {
        skip(fmt::format("\"{}\" names this machine", found[i]));
      } else {
        addName(found[i]);
      }
    }
  }

  void addName(std::string_view written) {
    config::NormalisedEntry normalised = config::normaliseDomainEntry(written);
    if (!normalised.problem.empty()) return skip(fmt::format("\"{}\": {}", written, normalised.problem));
    if (normalised.entry.back() == '.') normalised.entry.pop_back();
    names.push_back(std::move(normalised.entry));
  }

  void skip(std::string reason) {
    ++result_.skipped;
    if (result_.firstSkipped.size() < kSkippedLinesShown) result_.firstSkipped.push_back({number_, std::move(reason)});
  }

  ImportedNames& result_;
  std::size_t number_ = 0;
};

// Where a name stands in the fold.
enum class Listed : std::uint8_t { absent, before, imported, kept };

// Names to their standing, by open addressing: a million names are looked up
// several times each, and a node-based table's allocations and pointer
// chasing would take most of the import's time.
class NameTable {
 public:
  explicit NameTable(std::size_t names) : slots_(std::bit_ceil(2 * names + 1)) {}

  // The name's standing; a new name's slot reads Listed::absent until set.
  Listed& at(std::string_view name) {
    Slot& slot = slots_[indexOf(name)];
    slot.name = name;
    return slot.state;
  }
  bool contains(std::string_view name) const { return slots_[indexOf(name)].state != Listed::absent; }

 private:
  struct Slot {
    std::string_view name;
    Listed state = Listed::absent;
  };

  // The name's slot, or the unused one where it belongs.
  std::size_t indexOf(std::string_view name) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = std::hash<std::string_view>{}(name) & mask;; i = (i + 1) & mask) {
      if (slots_[i].state == Listed::absent || slots_[i].name == name) return i;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, at most half full
};

// Whether a proper parent domain of `name` is listed, before or in the import.
bool parentListed(std::string_view name, const NameTable& listed) {
  for (std::size_t dot = name.find('.'); dot != std::string_view::npos; dot = name.find('.')) {
    name.remove_prefix(dot + 1);
    if (listed.contains(name)) return true;
  }
  return false;
}

}  // namespace

ImportedNames importNames(std::string_view text, const std::vector<std::string>& alreadyListed) {
  ImportedNames result;
  LineReader reader(result);
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    reader.read(++result.linesRead, text.substr(start, end - start));
    start = end + 1;
  }

  // Built only now that no name moves any more; one table for the whole fold.
  std::vector<std::string> listedBefore;
  listedBefore.reserve(alreadyListed.size());
  for (const std::string& entry : alreadyListed) {
    std::string comparable = config::normaliseDomainEntry(entry).entry;
    if (!comparable.empty() && comparable.back() == '.') comparable.pop_back();
    listedBefore.push_back(std::move(comparable));
  }
  NameTable listed(listedBefore.size() + reader.names.size());
  for (const std::string& entry : listedBefore) listed.at(entry) = Listed::before;
  for (const std::string& name : reader.names) {
    if (Listed& state = listed.at(name); state == Listed::absent) state = Listed::imported;
  }

  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < reader.names.size(); ++i) {
    Listed& state = listed.at(reader.names[i]);
    if (state != Listed::imported || parentListed(reader.names[i], listed)) {
      ++result.folded;
      continue;
    }
    state = Listed::kept;
    kept.push_back(i);
  }
  result.added.reserve(kept.size());
  for (const std::size_t i : kept) result.added.push_back(std::move(reader.names[i]));
  return result;
}

}  // namespace vosk::control
