#include "base/workerpriority.h"

#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace WorkerPriority {

void lowerCurrentThread()
{
#ifdef Q_OS_LINUX
    // On Linux the nice value belongs to the thread, not the process.
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    setpriority(PRIO_PROCESS, tid, 10);
#else
    QThread::currentThread()->setPriority(QThread::LowPriority);
#endif
}

} // namespace WorkerPriority
