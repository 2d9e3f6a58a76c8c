#include "linux/service/pid_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vosk::backend {

PidFile::PidFile(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  const std::string text = fmt::format("{}\n", ::getpid());
  if (fd_ < 0 || ::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    problem_ = fmt::format("cannot write pid file {}: {}", path_, std::strerror(errno));
  }
}

PidFile::PidFile(PidFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)), problem_(std::move(other.problem_)) {}

PidFile::~PidFile() {
  if (fd_ >= 0) ::close(fd_);
}

void PidFile::remove() {
  if (fd_ < 0) return;
  if (::unlink(path_.c_str()) != 0 && ::ftruncate(fd_, 0) != 0) return;
  ::close(std::exchange(fd_, -1));
}

}  // namespace vosk::backend
