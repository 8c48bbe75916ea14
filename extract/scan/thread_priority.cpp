#include "extract/scan/thread_priority.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(_WIN32)
#include <windows.h>
#endif

namespace varnolt {

#if defined(__linux__)
// Five steps of niceness: a third of the share of a thread at the default.
// On Linux a thread's niceness is its own, set through its thread id.
constexpr int kNiceness = 5;
#endif

void LowerThisThreadsPriority() {
#if defined(__linux__)
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, ::getpriority(PRIO_PROCESS, thread) + kNiceness);
#elif defined(_WIN32)
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#endif
}

}  // namespace varnolt
