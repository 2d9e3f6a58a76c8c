#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "config/atomic_file.hpp"

namespace vosk::config {
namespace {

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vosk-atomic-XXXXXX";
    directory_ = mkdtemp(pattern);
    path_ = directory_ + "/config.json";
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::string contents() const { return std::get<std::string>(readFile(path_)); }
  std::size_t filesInDirectory() const {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(directory_), {}));
  }

  std::string directory_;
  std::string path_;
};

TEST_F(AtomicFileTest, ReplacesKeepingModeAndOwner) {
  ASSERT_FALSE(replaceFile(path_, "first", 0640));
  struct stat created {};
  ASSERT_EQ(::stat(path_.c_str(), &created), 0);
  EXPECT_EQ(created.st_mode & 07777, 0640u);

  ASSERT_EQ(::chmod(path_.c_str(), 0604), 0);
  const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();  // root can hand it to nobody
  ASSERT_EQ(::chown(path_.c_str(), owner, static_cast<gid_t>(-1)), 0);
  ASSERT_FALSE(replaceFile(path_, "second"));
  struct stat replaced {};
  ASSERT_EQ(::stat(path_.c_str(), &replaced), 0);
  EXPECT_NE(replaced.st_ino, created.st_ino);  // a new file renamed into place
  EXPECT_EQ(replaced.st_mode & 07777, 0604u);
  EXPECT_EQ(replaced.st_uid, owner);
  EXPECT_EQ(contents(), "second");
  EXPECT_EQ(filesInDirectory(), 1u);
}

// A write that fails half-way (here: the file-size limit, as a full disk
// would) leaves the old file whole and no temporary file behind.
TEST_F(AtomicFileTest, AFailedWriteLeavesTheOldFile) {
  ASSERT_FALSE(replaceFile(path_, "old contents"));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::optional<ConfigurationProblem> problem = replaceFile(path_, std::string(4096, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->message, "cannot write the temporary file: File too large");
  EXPECT_EQ(contents(), "old contents");
  EXPECT_EQ(filesInDirectory(), 1u);

  EXPECT_TRUE(replaceFile(directory_ + "/missing/config.json", "x"));
}

}  // namespace
}  // namespace vosk::config
