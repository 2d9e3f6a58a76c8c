// libFuzzer target for the strict-mode DNS answer rewrite.
//
// Any input: no crash. When the rewrite changes a message, the result must
// decode again with every compression pointer resolving (followed here, which
// the rewrite itself never does), mean the same as the input record by record
// (names, types, classes, TTLs, data) but for `ech` and its `mandatory`
// entry, hold no `ech` at all, and need no second rewrite; or, exactly when a
// question names the canary or a blocked name (here: a name whose first
// letter is the input's first byte), an empty NXDOMAIN with the input's ID
// and questions. As a stream of length-prefixed messages, the same bytes
// come out however the stream is cut into reads.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/dns_rewrite.hpp"
#include "dns/dns_stream.hpp"
#include "fuzz_checks.hpp"

namespace {

using vosk::fuzz::check;
using Bytes = std::vector<std::uint8_t>;

constexpr int maxHops = 128;
constexpr std::uint16_t typeSvcb = 64;
constexpr std::uint16_t typeHttps = 65;

struct Param {
  std::uint16_t key;
  Bytes value;
  bool operator==(const Param&) const = default;
};

struct Record {
  std::string owner;
  std::uint16_t type = 0;
  std::uint16_t cls = 0;
  std::uint32_t ttl = 0;
  std::string target;   // HTTPS/SVCB, or the names of a type that may compress them
  std::vector<Param> params;
  Bytes data;           // any other data, as it is
  bool operator==(const Record&) const = default;
};

struct Message {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::vector<std::uint16_t> counts;
  std::vector<Record> entries;  // questions (type and class only), then records
};

// The types of RFC 1035 and after whose data may hold compressed names:
// fixed bytes, names, fixed bytes.
struct NameLayout {
  std::size_t before;
  int names;
  std::size_t after;
};

std::optional<NameLayout> nameLayoutOf(std::uint16_t type) {
  switch (type) {
    case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 12: case 39: return NameLayout{0, 1, 0};
    case 6: return NameLayout{0, 2, 20};
    case 14: case 17: return NameLayout{0, 2, 0};
    case 15: case 18: case 21: case 36: return NameLayout{2, 1, 0};
    case 26: return NameLayout{2, 2, 0};
    case 33: return NameLayout{6, 1, 0};
    default: return std::nullopt;
  }
}

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::optional<std::uint16_t> u16() {
    if (at_ + 2 > bytes_.size()) return std::nullopt;
    at_ += 2;
    return static_cast<std::uint16_t>(bytes_[at_ - 2] << 8 | bytes_[at_ - 1]);
  }
  // A whole name, pointers followed.
  std::optional<std::string> name() {
    std::string text;
    std::size_t at = at_;
    std::optional<std::size_t> resume;
    for (int hops = 0; hops <= maxHops;) {
      if (at >= bytes_.size()) return std::nullopt;
      const std::uint8_t label = bytes_[at];
      if (label == 0) {
        at_ = resume.value_or(at + 1);
        return text + ".";
      }
      if ((label & 0xC0) == 0xC0) {
        if (at + 2 > bytes_.size()) return std::nullopt;
        if (!resume) resume = at + 2;
        at = static_cast<std::size_t>((label & 0x3F) << 8 | bytes_[at + 1]);
        ++hops;
        continue;
      }
      if ((label & 0xC0) != 0 || at + 1 + label > bytes_.size()) return std::nullopt;
      for (std::size_t i = at + 1; i < at + 1 + label; ++i) {
        if (bytes_[i] == '|' || bytes_[i] == '\\') text.push_back('\\');  // one text per name
        text.push_back(static_cast<char>(bytes_[i]));
      }
      text.push_back('|');
      at += 1 + label;
    }
    return std::nullopt;
  }
  std::size_t at() const { return at_; }
  void seek(std::size_t at) { at_ = at; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

std::optional<Message> decode(std::span<const std::uint8_t> bytes) {
  Decoder in(bytes);
  Message message;
  const auto id = in.u16();
  const auto flags = in.u16();
  if (!id || !flags) return std::nullopt;
  message.id = *id;
  message.flags = *flags;
  for (int section = 0; section < 4; ++section) {
    const auto count = in.u16();
    if (!count) return std::nullopt;
    message.counts.push_back(*count);
  }
  for (int section = 0; section < 4; ++section) {
    for (std::uint16_t i = 0; i < message.counts[section]; ++i) {
      Record record;
      const auto owner = in.name();
      const auto type = in.u16();
      const auto cls = in.u16();
      if (!owner || !type || !cls) return std::nullopt;
      record.owner = *owner;
      record.type = *type;
      record.cls = *cls;
      if (section > 0) {
        const auto ttlHigh = in.u16();
        const auto ttlLow = in.u16();
        const auto length = in.u16();
        if (!ttlHigh || !ttlLow || !length || in.at() + *length > bytes.size()) return std::nullopt;
        record.ttl = std::uint32_t{*ttlHigh} << 16 | *ttlLow;
        const std::size_t end = in.at() + *length;
        if (record.type == typeHttps || record.type == typeSvcb) {
          const auto priority = in.u16();
          const auto target = in.name();
          if (!priority || !target || in.at() > end) return std::nullopt;
          record.target = std::to_string(*priority) + " " + *target;
          while (in.at() < end) {
            const auto key = in.u16();
            const auto valueLength = in.u16();
            if (!key || !valueLength || in.at() + *valueLength > end) return std::nullopt;
            record.params.push_back({*key, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(in.at()),
                                                 bytes.begin() + static_cast<std::ptrdiff_t>(in.at() + *valueLength))});
            in.seek(in.at() + *valueLength);
          }
        } else if (const auto layout = nameLayoutOf(record.type)) {
          if (in.at() + layout->before > end) return std::nullopt;
          record.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(in.at()),
                             bytes.begin() + static_cast<std::ptrdiff_t>(in.at() + layout->before));
          in.seek(in.at() + layout->before);
          for (int i = 0; i < layout->names; ++i) {
            const auto target = in.name();
            if (!target) return std::nullopt;
            record.target += *target + " ";
          }
          if (in.at() + layout->after != end) return std::nullopt;
          record.data.insert(record.data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(in.at()),
                             bytes.begin() + static_cast<std::ptrdiff_t>(end));
        } else {
          record.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(in.at()),
                             bytes.begin() + static_cast<std::ptrdiff_t>(end));
        }
        in.seek(end);
      }
      message.entries.push_back(std::move(record));
    }
  }
  return message;
}

bool hasEchEntry(const std::vector<Param>& params) {
  return std::any_of(params.begin(), params.end(), [](const Param& param) { return param.key == 5; });
}

// The parameters as the rewrite must leave them: no ech, and no ech in
// mandatory; a mandatory that listed nothing else goes too.
std::vector<Param> withoutEch(std::vector<Param> params) {
  if (!hasEchEntry(params)) return params;
  std::erase_if(params, [](const Param& param) { return param.key == 5; });
  std::vector<Param> kept;
  for (Param& param : params) {
    if (param.key == 0 && param.value.size() % 2 == 0) {
      Bytes keys;
      for (std::size_t i = 0; i < param.value.size(); i += 2) {
        if (param.value[i] != 0 || param.value[i + 1] != 5) keys.insert(keys.end(), {param.value[i], param.value[i + 1]});
      }
      if (keys.empty() && !param.value.empty()) continue;
      param.value = keys;
    }
    kept.push_back(param);
  }
  return kept;
}

// Whether a question names the canary or a name the input blocks: its first
// letter, any case, is `blockingByte`.
bool asksNxdomain(const Message& message, std::uint8_t blockingByte) {
  for (std::size_t i = 0; i < message.counts[0]; ++i) {
    std::string name = message.entries[i].owner;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name.find('.') != name.size() - 1) continue;  // a dot inside a label: no host name
    if (name == "use-application-dns|net|." || (name != "." && static_cast<std::uint8_t>(name[name[0] == '\\' ? 1 : 0]) == blockingByte)) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const vosk::dns::BlockedName blocked = [&](std::string_view name) {
    return size > 0 && !name.empty() && static_cast<std::uint8_t>(name.front()) == data[0];
  };
  (void)vosk::dns::rewriteDnsPacket(input, blocked);

  // As a TCP stream: the same bytes out whether they arrive at once or in two reads.
  Bytes whole;
  const std::size_t usedWhole = vosk::dns::rewriteDnsStream(input, blocked, whole);
  check(usedWhole <= size && size - usedWhole < vosk::dns::maxFramedMessageBytes, "only a message's start is left");
  const std::size_t cut = size > 1 ? data[1] % size : 0;
  Bytes split;
  Bytes received(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(cut));
  const std::size_t usedFirst = vosk::dns::rewriteDnsStream(received, blocked, split);
  received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(usedFirst));
  received.insert(received.end(), input.begin() + static_cast<std::ptrdiff_t>(cut), input.end());
  const std::size_t usedSecond = vosk::dns::rewriteDnsStream(received, blocked, split);
  check(usedFirst + usedSecond == usedWhole && split == whole, "a stream reads the same in any reads");
  const auto output = vosk::dns::rewriteDnsAnswer(input, blocked);
  if (!output) return 0;
  check(!vosk::dns::rewriteDnsAnswer(*output, blocked).has_value(), "a rewritten answer needs no second rewrite");
  const auto before = decode(input);
  const auto after = decode(*output);
  check(before.has_value(), "only answers that decode are rewritten");
  check(after.has_value(), "a rewritten answer decodes, every pointer resolving");
  check(after->id == before->id, "the ID is kept");

  // Only these answers change the RCODE or the records; all others fall to the checks below.
  if (asksNxdomain(*before, data[0])) {
    const auto questions = static_cast<std::ptrdiff_t>(before->counts[0]);
    check((after->flags & 0x000F) == 3 && after->counts[0] == before->counts[0] && after->counts[1] == 0 &&
              after->counts[2] == 0, "the answer is an empty NXDOMAIN");
    check(std::equal(before->entries.begin(), before->entries.begin() + questions, after->entries.begin()),
          "the questions are kept");
    check(after->counts[3] == 0 || (after->counts[3] == 1 && after->entries.back().type == 41), "only EDNS is kept");
    return 0;
  }
  check(after->flags == before->flags && after->counts == before->counts, "flags and counts are kept");
  check(after->entries.size() == before->entries.size(), "every record is kept");
  for (std::size_t i = 0; i < before->entries.size(); ++i) {
    Record expected = before->entries[i];
    expected.params = withoutEch(expected.params);
    check(after->entries[i] == expected, "records mean what they meant, but for ech");
    check(!hasEchEntry(after->entries[i].params), "no ech is left");
  }
  return 0;
}
