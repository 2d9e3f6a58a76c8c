#pragma once

#include <string>

namespace vosk::backend {

// The file naming the running daemon for voskctl. Written while still root
// (/run is root's), removed on a clean stop; when the directory no longer
// lets us remove it, it is emptied through the descriptor kept open, which
// says "not running" just as well.
class PidFile {
 public:
  // Writes this process's id to `path`.
  explicit PidFile(std::string path);
  ~PidFile();
  PidFile(PidFile&& other) noexcept;
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;
  PidFile& operator=(PidFile&&) = delete;

  // Why there is no pid file; empty when it was written.
  const std::string& problem() const { return problem_; }
  void remove();

 private:
  std::string path_;
  int fd_ = -1;
  std::string problem_;
};

}  // namespace vosk::backend
