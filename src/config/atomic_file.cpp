#include "config/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vosk::config {
namespace {

ConfigurationProblem systemProblem(std::string_view what) {
  return ConfigurationProblem{fmt::format("{}: {}", what, std::strerror(errno))};
}

// Closes the descriptor, and removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)), fd_(mkstemp(path_.data())) {}
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_ && fd_ >= 0) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  void markRenamed() { renamed_ = true; }

 private:
  std::string path_;
  int fd_;
  bool renamed_ = false;
};

bool writeAll(int fd, std::string_view contents) {
  while (!contents.empty()) {
    const ssize_t written = ::write(fd, contents.data(), contents.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    contents.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::optional<ConfigurationProblem> replaceFile(const std::string& path, std::string_view contents,
                                                mode_t modeOfNewFile) {
  const std::filesystem::path target(path);
  const std::filesystem::path directory = target.has_parent_path() ? target.parent_path() : ".";
  struct stat old {};
  const bool existed = ::stat(path.c_str(), &old) == 0;
  if (!existed && errno != ENOENT) return systemProblem("cannot inspect the file");

  TemporaryFile temporary((directory / ("." + target.filename().string() + ".XXXXXX")).string());
  if (temporary.fd() < 0) return systemProblem(fmt::format("cannot create a temporary file in {}", directory.string()));
  if (!writeAll(temporary.fd(), contents)) return systemProblem("cannot write the temporary file");
  if (::fchmod(temporary.fd(), existed ? (old.st_mode & 07777) : modeOfNewFile) != 0) {
    return systemProblem("cannot set the file's mode");
  }
  if (existed && ::fchown(temporary.fd(), old.st_uid, old.st_gid) != 0) {
    return systemProblem("cannot keep the file's owner");
  }
  if (::fsync(temporary.fd()) != 0) return systemProblem("cannot sync the temporary file");
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return systemProblem("cannot rename the temporary file");
  temporary.markRenamed();

  const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd < 0) return systemProblem("written, but cannot open its directory to sync it");
  const bool synced = ::fsync(directoryFd) == 0;
  ::close(directoryFd);
  if (!synced) return systemProblem("written, but cannot sync its directory");
  return std::nullopt;
}

}  // namespace vosk::config
