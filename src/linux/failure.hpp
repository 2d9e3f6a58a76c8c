#pragma once

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace vosk::backend {

// How the backend's own functions report failure: what was being done and,
// when the system said why, its error code. Default-constructed = success.
// Contract-facing completions take the contract's std::optional<Error>;
// exceptions are left for broken preconditions and exhausted memory.
struct Failure {
  std::string what;
  std::error_code code;

  explicit operator bool() const { return !what.empty(); }
  // "NFQUEUE bind: Operation not permitted", worded as std::system_error words it.
  std::string message() const { return code ? what + ": " + code.message() : what; }
};

// The failure errno describes, for a system call that just failed.
inline Failure errnoFailure(std::string what) {
  return Failure{std::move(what), std::error_code(errno, std::generic_category())};
}

}  // namespace vosk::backend
