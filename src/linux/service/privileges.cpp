#include "linux/service/privileges.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <type_traits>
#include <vector>

namespace vosk::backend {
namespace {

constexpr std::size_t passwordBufferBytes = 16 * 1024;

struct UserIds {
  uid_t uid;
  gid_t gid;
};

// The user's ids into `user`, or why they cannot be used.
Failure lookUpUser(const std::string& userName, UserIds& user) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(passwordBufferBytes);
  const int lookup = getpwnam_r(userName.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    if (lookup != 0) return Failure{"looking up user " + userName, std::error_code(lookup, std::generic_category())};
    return Failure{"unknown user " + userName, {}};
  }
  if (entry.pw_uid == 0) return Failure{"refusing to run as " + userName + ": it is root", {}};
  user = {entry.pw_uid, entry.pw_gid};
  return {};
}

}  // namespace

Failure handDirectoryTo(const std::string& path, const std::string& userName) {
  UserIds user{};
  if (Failure failure = lookUpUser(userName, user)) return failure;
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) return Failure{"filesystem error: cannot create directories", error};
  if (chown(path.c_str(), user.uid, user.gid) != 0) return errnoFailure("chown");
  if (chmod(path.c_str(), 0700) != 0) return errnoFailure("chmod");
  return {};
}

Failure dropPrivileges(const std::string& userName) {
  UserIds user{};
  if (Failure failure = lookUpUser(userName, user)) return failure;
  const auto [uid, gid] = user;

  // A root without CAP_NET_ADMIN (a bounding set without it) has none to
  // keep: the user goes on without, and nftables then says what is missing.
  const bool haveNetAdmin = [] {
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> current(cap_get_proc(), &cap_free);
    cap_flag_value_t permitted = CAP_CLEAR;
    return current && cap_get_flag(current.get(), CAP_NET_ADMIN, CAP_PERMITTED, &permitted) == 0 &&
           permitted == CAP_SET;
  }();

  // Keep the permitted set across the change of user; only CAP_NET_ADMIN stays in it below.
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return errnoFailure("PR_SET_KEEPCAPS");
  if (setgroups(0, nullptr) != 0) return errnoFailure("setgroups");
  if (setresgid(gid, gid, gid) != 0) return errnoFailure("setresgid");
  if (setresuid(uid, uid, uid) != 0) return errnoFailure("setresuid");

  const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> capabilities(cap_init(), &cap_free);
  if (!capabilities) return errnoFailure("cap_init");
  const cap_value_t kept[] = {CAP_NET_ADMIN};
  if (haveNetAdmin && (cap_set_flag(capabilities.get(), CAP_PERMITTED, 1, kept, CAP_SET) != 0 ||
                       cap_set_flag(capabilities.get(), CAP_EFFECTIVE, 1, kept, CAP_SET) != 0)) {
    return errnoFailure("cap_set_flag");
  }
  if (cap_set_proc(capabilities.get()) != 0) return errnoFailure("cap_set_proc");
  if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) return errnoFailure("PR_SET_KEEPCAPS");
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errnoFailure("PR_SET_NO_NEW_PRIVS");

  // A way back to root would make all of this pointless.
  if (setuid(0) == 0) return Failure{"privileges were not dropped: root could be regained", {}};
  return {};
}

}  // namespace vosk::backend
