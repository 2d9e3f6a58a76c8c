#include "linux/service/privileges.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <vector>

namespace vosk::backend {
namespace {

constexpr std::size_t passwordBufferBytes = 16 * 1024;

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void check(int result, const char* what) {
  if (result != 0) throwErrno(what);
}

struct UserIds {
  uid_t uid;
  gid_t gid;
};

UserIds lookUpUser(const std::string& userName) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(passwordBufferBytes);
  const int lookup = getpwnam_r(userName.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    if (lookup != 0) throw std::system_error(lookup, std::generic_category(), "looking up user " + userName);
    throw std::runtime_error("unknown user " + userName);
  }
  if (entry.pw_uid == 0) throw std::runtime_error("refusing to run as " + userName + ": it is root");
  return {entry.pw_uid, entry.pw_gid};
}

}  // namespace

void handDirectoryTo(const std::string& path, const std::string& userName) {
  const UserIds user = lookUpUser(userName);
  std::filesystem::create_directories(path);
  check(chown(path.c_str(), user.uid, user.gid), "chown");
  check(chmod(path.c_str(), 0700), "chmod");
}

void dropPrivileges(const std::string& userName) {
  const auto [uid, gid] = lookUpUser(userName);

  // A root without CAP_NET_ADMIN (a bounding set without it) has none to
  // keep: the user goes on without, and nftables then says what is missing.
  const bool haveNetAdmin = [] {
    const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> current(cap_get_proc(), &cap_free);
    cap_flag_value_t permitted = CAP_CLEAR;
    return current && cap_get_flag(current.get(), CAP_NET_ADMIN, CAP_PERMITTED, &permitted) == 0 &&
           permitted == CAP_SET;
  }();

  // Keep the permitted set across the change of user; only CAP_NET_ADMIN stays in it below.
  check(prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0), "PR_SET_KEEPCAPS");
  check(setgroups(0, nullptr), "setgroups");
  check(setresgid(gid, gid, gid), "setresgid");
  check(setresuid(uid, uid, uid), "setresuid");

  const std::unique_ptr<std::remove_pointer_t<cap_t>, decltype(&cap_free)> capabilities(cap_init(), &cap_free);
  if (!capabilities) throwErrno("cap_init");
  const cap_value_t kept[] = {CAP_NET_ADMIN};
  if (haveNetAdmin) {
    check(cap_set_flag(capabilities.get(), CAP_PERMITTED, 1, kept, CAP_SET), "cap_set_flag");
    check(cap_set_flag(capabilities.get(), CAP_EFFECTIVE, 1, kept, CAP_SET), "cap_set_flag");
  }
  check(cap_set_proc(capabilities.get()), "cap_set_proc");
  check(prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0), "PR_SET_KEEPCAPS");
  check(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), "PR_SET_NO_NEW_PRIVS");

  // A way back to root would make all of this pointless.
  if (setuid(0) == 0) throw std::runtime_error("privileges were not dropped: root could be regained");
}

}  // namespace vosk::backend
