#include "dns/dns_rewrite.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace vosk::dns {
namespace {

constexpr std::size_t headerBytes = 12;
constexpr std::size_t fixedRecordBytes = 10;  // type, class, TTL, RDLENGTH

constexpr std::uint16_t responseFlag = 0x8000;
constexpr std::uint16_t opcodeMask = 0x7800;
constexpr std::uint16_t truncatedFlag = 0x0200;
constexpr std::uint16_t authenticDataFlag = 0x0020;
constexpr std::uint16_t rcodeMask = 0x000F;
constexpr std::uint16_t nxdomain = 3;

constexpr std::uint16_t typeSvcb = 64;
constexpr std::uint16_t typeHttps = 65;
constexpr std::uint16_t typeOpt = 41;
constexpr std::uint16_t mandatoryKey = 0;
constexpr std::uint16_t echKey = 5;

// Asked by browsers: NXDOMAIN tells them not to turn on encrypted DNS by themselves.
constexpr std::string_view canaryName = "use-application-dns.net";

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void writeU16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

// Where names in the RDATA of the types that may carry compressed names lie:
// fixed bytes, then names, then fixed bytes to the end. The names are walked
// so that their compression pointers can be kept right.
struct NameLayout {
  std::size_t before;
  int names;
  std::size_t after;
};

std::optional<NameLayout> nameLayoutOf(std::uint16_t type) {
  switch (type) {
    case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 12: case 39:  // NS MD MF CNAME MB MG MR PTR DNAME
      return NameLayout{0, 1, 0};
    case 6:  // SOA
      return NameLayout{0, 2, 20};
    case 14: case 17:  // MINFO RP
      return NameLayout{0, 2, 0};
    case 15: case 18: case 21: case 36:  // MX AFSDB RT KX
      return NameLayout{2, 1, 0};
    case 26:  // PX
      return NameLayout{2, 2, 0};
    case 33:  // SRV
      return NameLayout{6, 1, 0};
    default:
      return std::nullopt;
  }
}

// Types whose RDATA may hold compressed names in layouts not walked here
// (SIG NXT NAPTR A6), or whose signature covers the bytes (TSIG).
bool unsafeToChange(std::uint16_t type) { return type == 24 || type == 30 || type == 35 || type == 38 || type == 250; }

struct Range {
  std::size_t begin;
  std::size_t end;
};

// What the walk over the message found and what is to change in it.
struct Walk {
  std::vector<std::size_t> questions;  // offsets of the question names
  std::size_t questionEnd = headerBytes;
  std::optional<Range> opt;
  int optCount = 0;
  bool blocksChanges = false;
  std::vector<std::size_t> pointers;  // offsets of compression pointers
  std::vector<Range> removed;
  std::vector<std::pair<std::size_t, std::uint16_t>> lengthPatches;  // offset, new value
};

// Whether the compression pointer at `at` leads to the rest of a name: each
// pointer only back to an earlier offset (so no loop), at most
// maxPointerHops of them, the whole name at most maxNameBytes.
bool pointerResolves(std::span<const std::uint8_t> message, std::size_t at, std::size_t nameBytes) {
  for (int hops = 0; hops < maxPointerHops; ++hops) {
    const std::size_t target = readU16(message, at) & 0x3FFF;
    if (target >= at) return false;
    for (at = target;; at += 1 + message[at]) {
      const std::uint8_t label = message[at];
      if (label == 0) return true;
      if ((label & 0xC0) == 0xC0) break;
      nameBytes += 1 + label;
      if ((label & 0xC0) != 0 || nameBytes > maxNameBytes || at + 1 + label + 1 > message.size()) return false;
    }
    if (at + 2 > message.size()) return false;
  }
  return false;
}

// Skips the name at `at` within [0, end), noting where its compression
// pointer lies: the name's bytes here end at its root label or its pointer.
bool skipName(std::span<const std::uint8_t> message, std::size_t& at, std::size_t end, Walk& walk) {
  std::size_t length = 0;
  while (at < end) {
    const std::uint8_t label = message[at];
    if (label == 0) {
      ++at;
      return true;
    }
    if ((label & 0xC0) == 0xC0) {
      if (at + 2 > end || !pointerResolves(message, at, length)) return false;
      walk.pointers.push_back(at);
      at += 2;
      return true;
    }
    if ((label & 0xC0) != 0) return false;  // extended label types are not in use
    length += 1 + label;
    if (length > maxNameBytes) return false;
    at += 1 + label;
  }
  return false;
}

// The parameters of an HTTPS or SVCB record: marks `ech` for removal, and
// its entries in `mandatory` (clients ignore a record whose mandatory key is
// missing), the whole `mandatory` parameter when ech was all it listed.
bool walkServiceParameters(std::span<const std::uint8_t> message, std::size_t rdata, std::size_t end, Walk& walk) {
  std::size_t at = rdata + 2;  // SvcPriority
  if (at > end || !skipName(message, at, end, walk)) return false;
  std::optional<Range> ech;
  std::optional<Range> mandatory;
  std::optional<std::uint16_t> previousKey;
  while (at < end) {
    if (at + 4 > end) return false;
    const std::uint16_t key = readU16(message, at);
    const std::size_t valueEnd = at + 4 + readU16(message, at + 2);
    // Keys in strictly increasing order, as clients require of a record.
    if (valueEnd > end || (previousKey && key <= *previousKey)) return false;
    previousKey = key;
    if (key == echKey) ech = Range{at, valueEnd};
    if (key == mandatoryKey) mandatory = Range{at, valueEnd};
    at = valueEnd;
  }
  if (!ech) return true;

  std::size_t removedBytes = ech->end - ech->begin;
  walk.removed.push_back(*ech);
  const std::size_t mandatoryBytes = mandatory ? mandatory->end - mandatory->begin - 4 : 0;
  if (mandatory && mandatoryBytes % 2 == 0) {
    std::vector<Range> entries;
    for (std::size_t entry = mandatory->begin + 4; entry < mandatory->end; entry += 2) {
      if (readU16(message, entry) == echKey) entries.push_back({entry, entry + 2});
    }
    if (!entries.empty() && entries.size() * 2 == mandatoryBytes) {
      entries = {*mandatory};
    } else if (!entries.empty()) {
      walk.lengthPatches.emplace_back(mandatory->begin + 2,
                                      static_cast<std::uint16_t>(mandatoryBytes - 2 * entries.size()));
    }
    for (const Range& range : entries) removedBytes += range.end - range.begin;
    walk.removed.insert(walk.removed.end(), entries.begin(), entries.end());
  }
  walk.lengthPatches.emplace_back(rdata - 2, static_cast<std::uint16_t>(end - rdata - removedBytes));
  return true;
}

bool walkNamedRdata(std::span<const std::uint8_t> message, std::size_t rdata, std::size_t end, NameLayout layout,
                    Walk& walk) {
  std::size_t at = rdata + layout.before;
  if (at > end) return false;
  for (int name = 0; name < layout.names; ++name) {
    if (!skipName(message, at, end, walk)) return false;
  }
  return at + layout.after == end;
}

std::optional<Walk> walkMessage(std::span<const std::uint8_t> message) {
  Walk walk;
  const std::size_t questions = readU16(message, 4);
  const std::size_t answers = readU16(message, 6);
  const std::size_t authorities = readU16(message, 8);
  const std::size_t additionals = readU16(message, 10);
  if (questions + answers + authorities + additionals > maxEntries) return std::nullopt;

  std::size_t at = headerBytes;
  for (std::size_t i = 0; i < questions; ++i) {
    walk.questions.push_back(at);
    if (!skipName(message, at, message.size(), walk) || at + 4 > message.size()) return std::nullopt;
    at += 4;
  }
  walk.questionEnd = at;
  const std::size_t records = answers + authorities + additionals;
  for (std::size_t i = 0; i < records; ++i) {
    const std::size_t start = at;
    if (!skipName(message, at, message.size(), walk) || at + fixedRecordBytes > message.size()) return std::nullopt;
    const std::uint16_t type = readU16(message, at);
    const std::size_t rdata = at + fixedRecordBytes;
    const std::size_t end = rdata + readU16(message, at + 8);
    if (end > message.size()) return std::nullopt;
    bool parsed = true;
    if (type == typeHttps || type == typeSvcb) {
      parsed = walkServiceParameters(message, rdata, end, walk);
    } else if (const auto layout = nameLayoutOf(type)) {
      parsed = walkNamedRdata(message, rdata, end, *layout, walk);
    } else if (type == typeOpt && i >= answers + authorities) {
      walk.opt = Range{start, end};
      ++walk.optCount;
    }
    if (!parsed) return std::nullopt;
    walk.blocksChanges = walk.blocksChanges || unsafeToChange(type);
    at = end;
  }
  return walk;
}

// The labels of the name at `at`, pointers followed (at most
// maxPointerHops); nothing when they lead outside the message.
std::optional<std::string> labelsFrom(std::span<const std::uint8_t> message, std::size_t at) {
  std::string labels;
  for (int hops = 0; at < message.size() && labels.size() <= maxNameBytes;) {
    const std::uint8_t label = message[at];
    if (label == 0) return labels;
    if ((label & 0xC0) == 0xC0) {
      if (at + 2 > message.size() || ++hops > maxPointerHops) return std::nullopt;
      at = readU16(message, at) & 0x3FFF;
      continue;
    }
    if (at + 1 + label > message.size()) return std::nullopt;
    labels.append(reinterpret_cast<const char*>(&message[at]), 1 + label);
    at += 1 + label;
  }
  return std::nullopt;
}

// The name at `at` as BlockedName takes it: labels in lower case (DNS
// compares ASCII letters only without case) joined by dots. Nothing for a
// name with a dot inside a label: its text would read as another name (the
// one label "use-application-dns.net" is not the canary).
std::optional<std::string> nameText(std::span<const std::uint8_t> message, std::size_t at) {
  const std::optional<std::string> labels = labelsFrom(message, at);
  if (!labels) return std::nullopt;
  std::string text;
  for (std::size_t label = 0; label < labels->size();) {
    const std::size_t length = static_cast<std::uint8_t>((*labels)[label]);
    const std::string_view bytes = std::string_view(*labels).substr(label + 1, length);
    if (bytes.find('.') != std::string_view::npos) return std::nullopt;
    if (label != 0) text += '.';
    for (const char c : bytes) {
      text += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    label += 1 + length;
  }
  return text;
}

// Whether a question names the canary or a blocked name: the answer is then NXDOMAIN.
bool answeredNxdomain(std::span<const std::uint8_t> message, const Walk& walk, const BlockedName& blocked) {
  return std::any_of(walk.questions.begin(), walk.questions.end(), [&](std::size_t at) {
    const std::optional<std::string> name = nameText(message, at);
    return name && (*name == canaryName || (blocked && blocked(*name)));
  });
}

// The message without the removed ranges; pointers behind them moved back.
std::optional<std::vector<std::uint8_t>> applyRemovals(std::span<const std::uint8_t> message, Walk& walk) {
  auto& removed = walk.removed;
  std::sort(removed.begin(), removed.end(), [](Range a, Range b) { return a.begin < b.begin; });
  std::vector<std::size_t> removedBefore{0};  // [i]: bytes removed by the first i ranges
  for (const Range& range : removed) removedBefore.push_back(removedBefore.back() + range.end - range.begin);

  std::vector<std::uint8_t> out(message.begin(), message.end());
  for (const auto& [offset, value] : walk.lengthPatches) writeU16(out, offset, value);
  // Bytes removed before an offset outside the removed ranges.
  const auto shiftAt = [&](std::size_t offset) {
    const auto after = std::upper_bound(removed.begin(), removed.end(), offset,
                                        [](std::size_t at, Range range) { return at < range.begin; });
    return removedBefore[static_cast<std::size_t>(after - removed.begin())];
  };
  for (const std::size_t pointer : walk.pointers) {
    const std::size_t target = readU16(message, pointer) & 0x3FFF;
    if (const std::size_t shift = shiftAt(target); shift != 0) {
      writeU16(out, pointer, static_cast<std::uint16_t>(0xC000 | (target - shift)));
    }
  }
  auto written = out.begin() + static_cast<std::ptrdiff_t>(removed.front().begin);
  for (std::size_t i = 0; i < removed.size(); ++i) {
    const std::size_t keptEnd = i + 1 < removed.size() ? removed[i + 1].begin : out.size();
    written = std::copy(out.begin() + static_cast<std::ptrdiff_t>(removed[i].end),
                        out.begin() + static_cast<std::ptrdiff_t>(keptEnd), written);
  }
  out.erase(written, out.end());

  // A pointer may lead to bytes that are not a name of their own: into
  // removed bytes, or across a length or pointer changed here. Every name
  // that uses a pointer must read the same as before, or nothing changes.
  for (const std::size_t pointer : walk.pointers) {
    const auto before = labelsFrom(message, pointer);
    if (!before || before != labelsFrom(out, pointer - shiftAt(pointer))) return std::nullopt;
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> answerNxdomain(std::span<const std::uint8_t> message, std::uint16_t flags,
                                                        const Walk& walk) {
  if ((flags & rcodeMask) == nxdomain && readU16(message, 6) == 0) return std::nullopt;  // already said
  if (walk.optCount > 1) return std::nullopt;
  std::vector<std::uint8_t> out(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(walk.questionEnd));
  writeU16(out, 2, static_cast<std::uint16_t>((flags & ~(truncatedFlag | authenticDataFlag | rcodeMask)) | nxdomain));
  writeU16(out, 6, 0);
  writeU16(out, 8, 0);
  writeU16(out, 10, walk.opt ? 1 : 0);
  if (walk.opt) {
    // The OPT record's owner is the root, one byte; its TTL starts with the
    // upper bits of the RCODE, which must not turn NXDOMAIN into another code.
    if (message[walk.opt->begin] != 0) return std::nullopt;
    const std::size_t extendedRcode = out.size() + 5;
    out.insert(out.end(), message.begin() + static_cast<std::ptrdiff_t>(walk.opt->begin),
               message.begin() + static_cast<std::ptrdiff_t>(walk.opt->end));
    out[extendedRcode] = 0;
  }
  // A question's name may point into the header, which changed here.
  for (const std::size_t question : walk.questions) {
    if (labelsFrom(message, question) != labelsFrom(out, question)) return std::nullopt;
  }
  return out;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> rewriteDnsAnswer(std::span<const std::uint8_t> message,
                                                          const BlockedName& blocked) {
  if (message.size() < headerBytes || message.size() > maxMessageBytes) return std::nullopt;
  const std::uint16_t flags = readU16(message, 2);
  if ((flags & responseFlag) == 0 || (flags & opcodeMask) != 0) return std::nullopt;
  std::optional<Walk> walk = walkMessage(message);
  if (!walk) return std::nullopt;
  if (answeredNxdomain(message, *walk, blocked)) return answerNxdomain(message, flags, *walk);
  if (walk->removed.empty() || walk->blocksChanges) return std::nullopt;
  return applyRemovals(message, *walk);
}

namespace {

constexpr std::uint8_t protocolUdp = 17;
constexpr std::uint16_t dnsPort = 53;
constexpr std::size_t ipv6HeaderBytes = 40;
constexpr std::size_t udpHeaderBytes = 8;

// The one's-complement sum of the bytes as 16-bit words, not yet folded.
std::uint32_t sumWords(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += readU16(bytes, i);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
  return sum;
}

std::uint16_t foldedComplement(std::uint32_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> rewriteDnsPacket(std::span<const std::uint8_t> packet,
                                                          const BlockedName& blocked) {
  if (packet.empty()) return std::nullopt;
  const int version = packet[0] >> 4;
  std::size_t udp = 0;
  std::size_t total = 0;
  std::span<const std::uint8_t> addresses;  // source and destination, for the UDP checksum
  if (version == 4) {
    udp = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    if (udp < 20 || packet.size() < udp + udpHeaderBytes) return std::nullopt;
    total = readU16(packet, 2);
    const bool fragment = (readU16(packet, 6) & 0x3FFF) != 0;  // more fragments, or an offset
    if (fragment || packet[9] != protocolUdp) return std::nullopt;
    addresses = packet.subspan(12, 8);
  } else if (version == 6) {
    udp = ipv6HeaderBytes;
    if (packet.size() < udp + udpHeaderBytes || packet[6] != protocolUdp) return std::nullopt;
    total = ipv6HeaderBytes + readU16(packet, 4);
    addresses = packet.subspan(8, 32);
  } else {
    return std::nullopt;
  }
  if (total > packet.size() || total < udp + udpHeaderBytes) return std::nullopt;
  if (readU16(packet, udp) != dnsPort || readU16(packet, udp + 4) != total - udp) return std::nullopt;

  const auto answer =
      rewriteDnsAnswer(packet.subspan(udp + udpHeaderBytes, total - udp - udpHeaderBytes), blocked);
  if (!answer) return std::nullopt;
  std::vector<std::uint8_t> out(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(udp + udpHeaderBytes));
  out.insert(out.end(), answer->begin(), answer->end());
  const auto udpLength = static_cast<std::uint16_t>(out.size() - udp);
  if (version == 4) {
    writeU16(out, 2, static_cast<std::uint16_t>(out.size()));
    writeU16(out, 10, 0);
    writeU16(out, 10, foldedComplement(sumWords(std::span(out).first(udp), 0)));
  } else {
    writeU16(out, 4, udpLength);
  }
  writeU16(out, udp + 4, udpLength);
  writeU16(out, udp + 6, 0);
  std::uint32_t sum = sumWords(addresses, protocolUdp + std::uint32_t{udpLength});
  const std::uint16_t checksum = foldedComplement(sumWords(std::span(out).subspan(udp), sum));
  writeU16(out, udp + 6, checksum == 0 ? 0xFFFF : checksum);  // zero would mean "no checksum"
  return out;
}

}  // namespace vosk::dns
