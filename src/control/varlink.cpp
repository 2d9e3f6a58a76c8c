#include "control/varlink.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

namespace vosk::control {
namespace {

using nlohmann::json;

// Consumed bytes are moved out of the buffer once there are this many and at
// least as many as remain: every byte is moved at most once on average.
constexpr std::size_t kCompactBytes = std::size_t{64} << 10;

struct Member {
  std::string_view name;
  bool (json::*holds)() const noexcept;
};
constexpr std::array<Member, 5> kCallMembers{{{"method", &json::is_string},
                                              {"parameters", &json::is_object},
                                              {"oneway", &json::is_boolean},
                                              {"more", &json::is_boolean},
                                              {"upgrade", &json::is_boolean}}};
constexpr std::array<Member, 3> kReplyMembers{{{"parameters", &json::is_object},
                                               {"error", &json::is_string},
                                               {"continues", &json::is_boolean}}};

struct Parsed {
  std::optional<json> object;          // nothing unless the message is one JSON object
  std::optional<std::string> tooDeep;  // the member holding a value nested deeper than maxNesting
};

// Never throws: a message that is no JSON comes back as no object.
Parsed parseObject(std::string_view message) {
  Parsed parsed;
  std::string member;
  const json::parser_callback_t limitDepth = [&](int depth, json::parse_event_t event, json& value) {
    if (depth == 1 && event == json::parse_event_t::key) member = value.get<std::string>();
    if (depth <= maxNesting) return true;
    parsed.tooDeep = member;
    return false;  // dropped at once: the value kept stays shallow
  };
  json value = json::parse(message.begin(), message.end(), limitDepth, /*allow_exceptions=*/false);
  if (value.is_object()) parsed.object = std::move(value);
  return parsed;
}

// The first of `members` that `object` holds with a value of another type.
const Member* misfit(const json& object, std::span<const Member> members) {
  for (const Member& member : members) {
    const auto found = object.find(member.name);
    if (found != object.end() && !((*found).*member.holds)()) return &member;
  }
  return nullptr;
}

WireError invalid(std::string_view what) { return {invalidParameterError, {{"parameter", std::string(what)}}}; }

std::string encode(const json& message) {
  std::string text = message.dump(-1, ' ', false, json::error_handler_t::replace);
  text.push_back('\0');
  return text;
}

}  // namespace

bool MessageReader::append(std::string_view bytes) {
  if (spoilt_) return false;
  if (start_ == buffer_.size() || (start_ >= kCompactBytes && start_ >= buffer_.size() - start_)) {
    buffer_.erase(0, start_);
    tail_ -= start_;
    start_ = 0;
  }
  const std::size_t end = buffer_.size();
  buffer_.append(bytes);
  if (const std::size_t nul = bytes.rfind('\0'); nul != std::string_view::npos) tail_ = end + nul + 1;
  if (buffer_.size() - tail_ > cap_) spoil();
  return !spoilt_;
}

std::optional<std::string> MessageReader::next() {
  if (start_ == tail_) return std::nullopt;
  const std::size_t end = buffer_.find('\0', start_);  // found: one is held before tail_
  if (end - start_ > cap_) {
    spoil();
    return std::nullopt;
  }
  std::string message = buffer_.substr(start_, end - start_);
  start_ = end + 1;
  return message;
}

std::string MessageReader::takeRaw(std::size_t count) {
  const std::size_t taken = std::min(count, buffer_.size() - start_);
  std::string raw = buffer_.substr(start_, taken);
  start_ += taken;
  tail_ = std::max(tail_, start_);
  return raw;
}

void MessageReader::spoil() {
  spoilt_ = true;
  std::string().swap(buffer_);
  start_ = tail_ = 0;
}

std::variant<Call, WireError> parseCall(std::string_view message) {
  const Parsed parsed = parseObject(message);
  if (!parsed.object) return invalid("call");
  if (parsed.tooDeep) return invalid(*parsed.tooDeep);
  const json& object = *parsed.object;
  for (const auto& item : object.items()) {
    const bool known = std::any_of(kCallMembers.begin(), kCallMembers.end(),
                                   [&](const Member& member) { return member.name == item.key(); });
    if (!known) return invalid(item.key());
  }
  if (const Member* wrong = misfit(object, kCallMembers)) return invalid(wrong->name);
  if (!object.contains("method")) return invalid("method");
  return Call{object["method"].get<std::string>(), object.value("parameters", json::object()),
              object.value("oneway", false), object.value("more", false), object.value("upgrade", false)};
}

std::optional<Reply> parseReply(std::string_view message) {
  const Parsed parsed = parseObject(message);
  if (!parsed.object || parsed.tooDeep || misfit(*parsed.object, kReplyMembers)) return std::nullopt;
  const json& object = *parsed.object;
  Reply reply{object.value("parameters", json::object()), std::nullopt, object.value("continues", false)};
  if (object.contains("error")) reply.error = object["error"].get<std::string>();
  return reply;
}

std::string encodeReply(const json& parameters, bool continues) {
  json message = {{"parameters", parameters}};
  if (continues) message["continues"] = true;
  return encode(message);
}

std::string encodeError(std::string_view error, const json& parameters) {
  return encode({{"error", std::string(error)}, {"parameters", parameters}});
}

std::string encodeCall(const Call& call) {
  json message = {{"method", call.method}};
  if (!call.parameters.empty()) message["parameters"] = call.parameters;
  if (call.oneway) message["oneway"] = true;
  if (call.more) message["more"] = true;
  if (call.upgrade) message["upgrade"] = true;
  return encode(message);
}

}  // namespace vosk::control
