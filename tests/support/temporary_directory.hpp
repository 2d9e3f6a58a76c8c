#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace vosk::test {

// A fresh directory under /tmp, removed with all it holds when this goes.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    char pattern[] = "/tmp/vosk-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TemporaryDirectory() { std::filesystem::remove_all(path_); }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace vosk::test
