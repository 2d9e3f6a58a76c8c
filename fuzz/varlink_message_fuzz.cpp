// libFuzzer target for the control socket's message reader and call parser.
//
// The input's first bytes choose a cap and chunk lengths; the rest is the
// stream, fed in those chunks as a server takes it: every message taken after
// each chunk, and after an upgrade call the raw bytes its "bytes" parameter
// counts. The stream must come back whole: messages (each with its NUL) and
// raw bytes in order, then what is held. No message has a NUL or is over the
// cap; the reader spoils only for a message over the cap and stays spoilt.
// parseCall never throws, and a call it accepts encodes to one that parses
// back the same.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "control/varlink.hpp"
#include "fuzz_checks.hpp"

namespace {

using vosk::fuzz::check;
namespace control = vosk::control;

// One byte for the cap, two for the lengths of the chunks in turn.
constexpr std::size_t kHeaderBytes = 3;
constexpr std::size_t kCapStep = 16;

void checkCall(const std::string& message, std::size_t& rawLeft) {
  std::variant<control::Call, control::WireError> parsed;
  try {
    parsed = control::parseCall(message);
  } catch (...) {
    check(false, "parseCall never throws");
  }
  const auto* call = std::get_if<control::Call>(&parsed);
  if (call == nullptr) return;
  const std::string encoded = control::encodeCall(*call);
  check(encoded.find('\0') == encoded.size() - 1, "an encoded call ends at its only NUL");
  const auto again = control::parseCall(std::string_view(encoded).substr(0, encoded.size() - 1));
  const auto* back = std::get_if<control::Call>(&again);
  check(back != nullptr && back->method == call->method && back->parameters == call->parameters &&
            back->oneway == call->oneway && back->more == call->more && back->upgrade == call->upgrade,
        "an accepted call parses back the same from its encoding");
  const auto bytes = call->parameters.find("bytes");
  if (call->upgrade && bytes != call->parameters.end() && bytes->is_number_unsigned()) {
    rawLeft = bytes->get<std::size_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.size() <= kHeaderBytes) return 0;
  const std::size_t cap = 1 + static_cast<std::uint8_t>(input[0]) * kCapStep;
  const std::string_view lengths = input.substr(1, kHeaderBytes - 1);
  const std::string_view stream = input.substr(kHeaderBytes);

  control::MessageReader reader(cap);
  std::string consumed;  // messages with their NULs, and raw bytes, as taken
  std::size_t rawLeft = 0;
  std::size_t fed = 0;
  for (std::size_t chunk = 0; fed < stream.size(); ++chunk) {
    const std::size_t length = std::min<std::size_t>(1 + static_cast<std::uint8_t>(lengths[chunk % lengths.size()]),
                                                     stream.size() - fed);
    const bool wasSpoilt = reader.spoilt();
    const bool appended = reader.append(stream.substr(fed, length));
    fed += length;
    check(appended == !reader.spoilt() && (!wasSpoilt || !appended), "a spoilt reader stays spoilt");
    for (;;) {
      if (rawLeft > 0) {
        const std::string raw = reader.takeRaw(rawLeft);
        consumed += raw;
        rawLeft -= raw.size();
        if (rawLeft > 0) break;
      }
      const std::optional<std::string> message = reader.next();
      if (!message) break;
      check(message->find('\0') == std::string::npos && message->size() <= cap,
            "a message has no NUL and is not over the cap");
      consumed += *message;
      consumed.push_back('\0');
      checkCall(*message, rawLeft);
    }
    if (reader.spoilt()) {
      check(!reader.next() && reader.takeRaw(1).empty() && reader.pending() == 0, "a spoilt reader yields nothing");
      if (!wasSpoilt) {
        // Raw bytes held count as a message would.
        const std::string_view unread = stream.substr(0, fed).substr(consumed.size());
        const std::size_t lastEnd = unread.rfind('\0');
        const std::size_t tail = lastEnd == std::string_view::npos ? unread.size() : unread.size() - lastEnd - 1;
        check(std::min(unread.find('\0'), unread.size()) > cap || tail > cap,
              "the reader spoils only for a message or held bytes over the cap");
      }
      continue;
    }
    const std::string_view held = stream.substr(0, fed).substr(consumed.size());
    check(held.size() == reader.pending() && held.find('\0') == std::string_view::npos,
          "taken and held, the stream comes back whole, no complete message left behind");
  }
  return 0;
}
