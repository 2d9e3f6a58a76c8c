#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The varlink wire protocol as the control socket speaks it: JSON objects,
// each ended by a NUL byte. Pure functions of their bytes.
namespace vosk::control {

// No message of either side may be longer than this (its NUL not counted).
inline constexpr std::size_t maxMessageBytes = std::size_t{1} << 20;
// No JSON value of a message may be nested deeper than this: what walks a
// parsed value later (encoding, comparing) recurses once per level. Our own
// messages nest six levels at most.
inline constexpr int maxNesting = 64;

// Splits a byte stream into messages. Bytes are appended as they arrive;
// complete messages are taken out in order. A message longer than the cap
// spoils the stream: nothing more is taken from it. Appending and taking stay
// linear in the bytes of the stream, however they are chunked.
class MessageReader {
 public:
  // A smaller cap lets tests and the fuzz target reach it with short inputs.
  explicit MessageReader(std::size_t cap = maxMessageBytes) : cap_(cap) {}

  // Appends bytes; false once the stream is spoilt: at once when its
  // unterminated tail grows over the cap, or when next() meets a complete
  // message over it.
  bool append(std::string_view bytes);
  // The next complete message (without its NUL), if one is there.
  std::optional<std::string> next();
  // Takes up to `count` bytes that follow the messages taken so far, raw: a
  // call with "upgrade" hands the connection over to such bytes. Held raw
  // bytes count toward the cap, so take them after every append.
  std::string takeRaw(std::size_t count);
  bool spoilt() const { return spoilt_; }
  // Bytes held that belong to no complete message yet.
  std::size_t pending() const { return buffer_.size() - tail_; }

 private:
  void spoil();

  std::size_t cap_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the next message begins in buffer_
  // One past the last NUL held, or start_ when there is none past it: the
  // unterminated tail begins here; start_ == tail_ when no message is complete.
  std::size_t tail_ = 0;
  bool spoilt_ = false;
};

// A method call as a client sends it.
struct Call {
  std::string method;             // "com.example.Interface.Method"
  nlohmann::json parameters = nlohmann::json::object();  // empty when absent
  bool oneway = false;            // no reply wanted
  bool more = false;              // more than one reply welcome
  bool upgrade = false;           // raw bytes follow the call
};

// A message that is not a call: the varlink error to answer with.
struct WireError {
  std::string error;              // e.g. "org.varlink.service.InvalidParameter"
  nlohmann::json parameters;      // an object
};

// A message (without its NUL) as a call, or why it is none. The service
// interface has no error for a malformed message, so every fault is
// InvalidParameter, {"parameter": X}, X naming what is wrong: "call" for a
// message that is not a JSON object, else the offending member ("method"
// missing or not a string, "parameters" not an object, a flag not a
// boolean, a member of an unknown name, a value nested too deep).
std::variant<Call, WireError> parseCall(std::string_view message);

// Encoding never throws: text that is not UTF-8 has its bad bytes replaced.
// A reply as the server sends it, NUL included.
std::string encodeReply(const nlohmann::json& parameters, bool continues = false);
std::string encodeError(std::string_view error, const nlohmann::json& parameters);
// A call as a client sends it, NUL included; flags only when set.
std::string encodeCall(const Call& call);

// A reply as a client reads it.
struct Reply {
  nlohmann::json parameters = nlohmann::json::object();
  std::optional<std::string> error;   // the error's name, for an error reply
  bool continues = false;
};
// Nothing for a message that is no reply (not an object, or a known member of
// the wrong type); members of other names are left for newer servers.
std::optional<Reply> parseReply(std::string_view message);

// The errors of org.varlink.service.
inline constexpr const char* methodNotFound = "org.varlink.service.MethodNotFound";
inline constexpr const char* interfaceNotFound = "org.varlink.service.InterfaceNotFound";
inline constexpr const char* invalidParameterError = "org.varlink.service.InvalidParameter";
inline constexpr const char* methodNotImplemented = "org.varlink.service.MethodNotImplemented";

}  // namespace vosk::control
