#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>

#include "linux/service/privileges.hpp"

namespace vosk::backend {
namespace {

// What the child found after dropping, as its exit status.
enum ChildResult { dropped = 0, failed = 1, stillRoot = 2, wrongCapabilities = 3 };

// Permitted and effective hold exactly CAP_NET_ADMIN (or nothing).
bool capabilitiesAre(bool netAdmin) {
  const cap_t capabilities = cap_get_proc();
  bool result = true;
  for (cap_value_t capability = 0; capability <= CAP_LAST_CAP; ++capability) {
    cap_flag_value_t permitted = CAP_CLEAR;
    cap_flag_value_t effective = CAP_CLEAR;
    cap_get_flag(capabilities, capability, CAP_PERMITTED, &permitted);
    cap_get_flag(capabilities, capability, CAP_EFFECTIVE, &effective);
    const cap_flag_value_t wanted = capability == CAP_NET_ADMIN && netAdmin ? CAP_SET : CAP_CLEAR;
    result = result && permitted == wanted && effective == wanted;
  }
  cap_free(capabilities);
  return result;
}

// Drops in a child (the test process keeps its root) and reports what it found.
int dropInChild(bool rootHasNetAdmin) {
  const passwd* nobody = getpwnam(defaultUnprivilegedUser);
  if (nobody == nullptr) return -1;
  const uid_t expectedUid = nobody->pw_uid;
  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (!rootHasNetAdmin) {
      const cap_t capabilities = cap_get_proc();
      const cap_value_t netAdmin[] = {CAP_NET_ADMIN};
      cap_set_flag(capabilities, CAP_PERMITTED, 1, netAdmin, CAP_CLEAR);
      cap_set_flag(capabilities, CAP_EFFECTIVE, 1, netAdmin, CAP_CLEAR);
      if (cap_set_proc(capabilities) != 0) _exit(failed);
      cap_free(capabilities);
    }
    if (dropPrivileges(defaultUnprivilegedUser)) _exit(failed);
    uid_t real = 0, effective = 0, saved = 0;
    getresuid(&real, &effective, &saved);
    if (real != expectedUid || effective != expectedUid || saved != expectedUid || getgroups(0, nullptr) != 0) {
      _exit(stillRoot);
    }
    _exit(capabilitiesAre(rootHasNetAdmin) ? dropped : wrongCapabilities);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A root with CAP_NET_ADMIN keeps only that; one without it ends with nothing.
TEST(PrivilegesTest, RootBecomesTheUserWithOnlyNetAdminIfItHadIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  EXPECT_EQ(dropInChild(true), dropped);
  EXPECT_EQ(dropInChild(false), dropped);
}

TEST(PrivilegesTest, UnknownOrRootUsersAreRefusedBeforeAnythingChanges) {
  EXPECT_EQ(dropPrivileges("no-such-user-vosk-filter").message(), "unknown user no-such-user-vosk-filter");
  EXPECT_EQ(dropPrivileges("root").message(), "refusing to run as root: it is root");
  EXPECT_EQ(getuid(), geteuid());
}

}  // namespace
}  // namespace vosk::backend
