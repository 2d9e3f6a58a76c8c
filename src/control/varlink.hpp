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

// Splits a byte stream into messages. Bytes are appended as they arrive;
// complete messages are taken out in order. A message longer than the cap
// spoils the stream: nothing more is taken from it.
class MessageReader {
 public:
  // Appends bytes; false once the stream is spoilt (a message over the cap).
  bool append(std::string_view bytes);
  // The next complete message (without its NUL), if one is there.
  std::optional<std::string> next();
  // Takes up to `count` bytes that follow the messages taken so far, raw: a
  // call with "upgrade" hands the connection over to such bytes.
  std::string takeRaw(std::size_t count);
  bool spoilt() const { return spoilt_; }
  // Bytes held that belong to no complete message yet.
  std::size_t pending() const;

 private:
  std::string buffer_;
  std::size_t start_ = 0;  // where the next message begins in buffer_
  bool spoilt_ = false;
};

// A method call as a client sends it.
struct Call {
  std::string method;             // "com.example.Interface.Method"
  nlohmann::json parameters;      // always an object (empty when absent)
  bool oneway = false;            // no reply wanted
  bool more = false;              // more than one reply welcome
  bool upgrade = false;           // raw bytes follow the call
};

// A message that is not a call: the varlink error to answer with.
struct WireError {
  std::string error;              // e.g. "org.varlink.service.InvalidParameter"
  nlohmann::json parameters;      // an object
};

std::variant<Call, WireError> parseCall(std::string_view message);

// A reply as the server sends it, NUL included.
std::string encodeReply(const nlohmann::json& parameters, bool continues = false);
std::string encodeError(std::string_view error, const nlohmann::json& parameters);
// A call as a client sends it, NUL included.
std::string encodeCall(const Call& call);

// A reply as a client reads it.
struct Reply {
  nlohmann::json parameters;          // an object
  std::optional<std::string> error;   // the error's name, for an error reply
  bool continues = false;
};
std::optional<Reply> parseReply(std::string_view message);

// The errors of org.varlink.service.
inline constexpr const char* methodNotFound = "org.varlink.service.MethodNotFound";
inline constexpr const char* interfaceNotFound = "org.varlink.service.InterfaceNotFound";
inline constexpr const char* invalidParameterError = "org.varlink.service.InvalidParameter";
inline constexpr const char* methodNotImplemented = "org.varlink.service.MethodNotImplemented";

}  // namespace vosk::control
