#include "linux/service/descriptor_limit.hpp"

#include <sys/resource.h>

namespace vosk::backend {

DescriptorLimit raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return {};
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return DescriptorLimit{limit.rlim_cur, limit.rlim_max};
}

}  // namespace vosk::backend
