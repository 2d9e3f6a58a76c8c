#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/linux/privileges.hpp"

namespace vosk::backend {
namespace {

// What the child found after dropping, as its exit status.
enum ChildResult { dropped = 0, threw = 1, stillRoot = 2, wrongCapabilities = 3 };

bool onlyNetAdmin() {
  const cap_t capabilities = cap_get_proc();
  bool result = true;
  for (cap_value_t capability = 0; capability <= CAP_LAST_CAP; ++capability) {
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_flag_value_t effective = CAP_CLEAR;
    cap_get_flag(capabilities, capability, CAP_PERMITTED, &permitted);
    cap_get_flag(capabilities, capability, CAP_EFFECTIVE, &effective);
    const cap_flag_value_t wanted = capability == CAP_NET_ADMIN ? CAP_SET : CAP_CLEAR;
    result = result && permitted == wanted && effective == wanted;
  }
  cap_free(capabilities);
  return result;
}

TEST(PrivilegesTest, RootBecomesTheUserWithOnlyNetAdmin) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const passwd* nobody = getpwnam(defaultUnprivilegedUser);
  ASSERT_NE(nobody, nullptr);
  const uid_t expectedUid = nobody->pw_uid;

  // In a child: the test process keeps its root.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      dropPrivileges(defaultUnprivilegedUser);
    } catch (const std::exception&) {
      _exit(threw);
    }
    uid_t real = 0, effective = 0, saved = 0;
    getresuid(&real, &effective, &saved);
    if (real != expectedUid || effective != expectedUid || saved != expectedUid || getgroups(0, nullptr) != 0) {
      _exit(stillRoot);
    }
    _exit(onlyNetAdmin() ? dropped : wrongCapabilities);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), dropped);
}

TEST(PrivilegesTest, UnknownOrRootUsersAreRefusedBeforeAnythingChanges) {
  EXPECT_THROW(dropPrivileges("no-such-user-vosk-filter"), std::runtime_error);
  EXPECT_THROW(dropPrivileges("root"), std::runtime_error);
  EXPECT_EQ(getuid(), geteuid());
}

}  // namespace
}  // namespace vosk::backend
