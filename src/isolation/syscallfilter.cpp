#include "isolation/syscallfilter.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/prctl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// What the readers and writers do once loaded, whatever the arguments:
// none of these reaches a path, another process or the network.
const int anyArguments[] = {
    // The descriptors handed in, the shared memory handed back, the socket.
    SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(preadv2),
    SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64), SCMP_SYS(pwritev), SCMP_SYS(pwritev2),
    SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3),
    // Qt and the C library ask the size of a descriptor with an empty
    // name; by name these tell no more than what a folder listing does.
    SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
    SCMP_SYS(memfd_create), SCMP_SYS(ftruncate),
    SCMP_SYS(recvmsg), SCMP_SYS(sendmsg), SCMP_SYS(recvfrom), SCMP_SYS(sendto),
    SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6),
    // An event loop's wake-up (glib makes one for every Qt thread).
    SCMP_SYS(eventfd2), SCMP_SYS(pipe2),
    // Memory.
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
    SCMP_SYS(madvise), SCMP_SYS(mincore), SCMP_SYS(msync),
    SCMP_SYS(mbind), SCMP_SYS(get_mempolicy), SCMP_SYS(set_mempolicy),
    // Threads (made by clone, below) and their locks.
    SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(get_robust_list), SCMP_SYS(rseq),
    SCMP_SYS(set_tid_address), SCMP_SYS(membarrier), SCMP_SYS(sched_yield),
    SCMP_SYS(sched_get_priority_max), SCMP_SYS(sched_get_priority_min),
    SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(restart_syscall),
    // Time, and the helper's own alarm.
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep),
    SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday), SCMP_SYS(time), SCMP_SYS(alarm),
    SCMP_SYS(setitimer), SCMP_SYS(getitimer),
    // Signals, handled here (the sending ones are checked below).
    SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn),
    SCMP_SYS(sigaltstack),
    // Who and where it is.
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getppid), SCMP_SYS(getuid), SCMP_SYS(geteuid),
    SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(uname), SCMP_SYS(sysinfo),
    SCMP_SYS(getrusage), SCMP_SYS(times), SCMP_SYS(getrandom),
    // Which processors a thread may run on: pthread_getattr_np asks it of
    // a thread by its id (sanitizers do, for every new thread). It only
    // reads.
    SCMP_SYS(sched_getaffinity),
};

// Calls that name a process: allowed on the helper itself alone, by pid 0
// (the caller) or its own pid, in their first argument.
const int onItselfOnly[] = {
    SCMP_SYS(prlimit64), SCMP_SYS(sched_setaffinity),
    SCMP_SYS(sched_getparam), SCMP_SYS(sched_setparam), SCMP_SYS(sched_getscheduler),
    SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_getattr), SCMP_SYS(sched_setattr),
};

// fcntl's commands that neither lock, lease nor watch a file, and send no
// signal to anybody (F_SETOWN, F_SETSIG). F_SETFL is not among them: it
// would change the flags of the window's own open file.
const int fcntlCommands[] = {
    F_GETFD, F_SETFD, F_GETFL, F_DUPFD, F_DUPFD_CLOEXEC, F_ADD_SEALS, F_GET_SEALS,
};

// prctl's options that threads use to name themselves and sanitizers to
// look at the process.
const int prctlOptions[] = {
    PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, PR_GET_NO_NEW_PRIVS,
};

// clone makes threads, never processes: the thread flags must be set and
// those that make or reach another process (a new namespace, tracing, a
// vfork, a parent of its choosing) clear.
constexpr scmp_datum_t threadFlags = CLONE_THREAD | CLONE_VM | CLONE_SIGHAND;
constexpr scmp_datum_t processFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC
        | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET | CLONE_PTRACE | CLONE_VFORK | CLONE_PARENT
        | CLONE_UNTRACED;

constexpr int ioprioWhoProcess = 1; // IOPRIO_WHO_PROCESS

class Rules
{
public:
    explicit Rules(scmp_filter_ctx filter)
        : filter(filter)
    {
    }

    void allow(int call) { add(SCMP_ACT_ALLOW, call, {}); }

    void add(uint32_t action, int call, std::initializer_list<scmp_arg_cmp> checks)
    {
        // A call this architecture does not have is negative here.
        if (rc != 0 || call < 0)
            return;
        rc = seccomp_rule_add_array(filter, action, call, unsigned(checks.size()), checks.begin());
    }

    int result() const { return rc; }

private:
    scmp_filter_ctx filter;
    int rc = 0;
};

void addRules(Rules &rules)
{
    for (const int call : anyArguments)
        rules.allow(call);
    const scmp_datum_t self = scmp_datum_t(::getpid());
    for (const int call : onItselfOnly) {
        rules.add(SCMP_ACT_ALLOW, call, {SCMP_A0(SCMP_CMP_EQ, 0)});
        rules.add(SCMP_ACT_ALLOW, call, {SCMP_A0(SCMP_CMP_EQ, self)});
    }
    for (const scmp_datum_t who : {scmp_datum_t(0), self}) {
        for (const int call : {SCMP_SYS(getpriority), SCMP_SYS(setpriority)})
            rules.add(SCMP_ACT_ALLOW, call,
                      {SCMP_A0(SCMP_CMP_EQ, PRIO_PROCESS), SCMP_A1(SCMP_CMP_EQ, who)});
        for (const int call : {SCMP_SYS(ioprio_get), SCMP_SYS(ioprio_set)})
            rules.add(SCMP_ACT_ALLOW, call,
                      {SCMP_A0(SCMP_CMP_EQ, ioprioWhoProcess), SCMP_A1(SCMP_CMP_EQ, who)});
    }
    // Signals to itself alone: raise() and abort() stay. kill(0) and
    // kill(-1) would reach the process group and everybody.
    rules.add(SCMP_ACT_ALLOW, SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
    rules.add(SCMP_ACT_ALLOW, SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
    for (const int command : fcntlCommands)
        rules.add(SCMP_ACT_ALLOW, SCMP_SYS(fcntl), {SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(command))});
    for (const int option : prctlOptions)
        rules.add(SCMP_ACT_ALLOW, SCMP_SYS(prctl), {SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(option))});
    rules.add(SCMP_ACT_ALLOW, SCMP_SYS(clone),
              {SCMP_A0(SCMP_CMP_MASKED_EQ, threadFlags | processFlags, threadFlags)});
    // clone3's flags sit in memory where the filter cannot look: said to
    // be missing, so that the C library falls back to clone.
    rules.add(SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), {});
    // No descriptor here is a terminal, and no request is needed of any
    // other: the answer for a file or a socket.
    rules.add(SCMP_ACT_ERRNO(ENOTTY), SCMP_SYS(ioctl), {});
}

} // namespace

bool SyscallFilter::install(QString *why)
{
    // Refused with EPERM: every library turns that into an ordinary failure.
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter) {
        *why = QStringLiteral("seccomp_init failed");
        return false;
    }
    // Threads started while loading (a thread pool's, a library's) are
    // filtered too. Another architecture's calls kill: their numbers mean
    // other calls, and nothing here makes them.
    int rc = seccomp_attr_set(filter, SCMP_FLTATR_CTL_TSYNC, 1);
    if (rc == 0)
        rc = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
    if (rc == 0) {
        Rules rules(filter);
        addRules(rules);
        rc = rules.result();
    }
    if (rc == 0)
        rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc != 0) {
        *why = QStringLiteral("seccomp: %1").arg(QString::fromLocal8Bit(strerror(rc < 0 ? -rc : rc)));
        return false;
    }
    return true;
}
