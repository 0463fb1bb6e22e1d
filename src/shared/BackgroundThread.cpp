#include "BackgroundThread.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace shared {

namespace {
// Five steps of "nice": the pool gets about a third of the share of a thread of the event
// loop when both want the same core, and all of it when the event loop is idle.
constexpr int kBackgroundNiceSteps = 5;
constexpr int kLowestPriority = 19;
} // namespace

void runInBackground()
{
    thread_local bool s_Lowered = false;
    if (s_Lowered || (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())) {
        return;
    }
    s_Lowered = true;
    // on Linux "nice" is a property of each thread
    const auto ThreadId = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int Current = ::getpriority(PRIO_PROCESS, ThreadId);
    if (errno != 0) {
        return;
    }
    ::setpriority(PRIO_PROCESS, ThreadId, std::min(Current + kBackgroundNiceSteps, kLowestPriority));
}

} // namespace shared
