#ifndef WALLEDCHILD_H
#define WALLEDCHILD_H

#include "isolation/sandbox.h"

#include <csignal>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// A forked child that puts up a helper's walls, all or some of them, and
// tries something behind them, for the tests of the sandbox and of its
// system call filter.
namespace WalledChild {

enum class Walls { Both, FilterAlone, LandlockAlone };

inline int landlockVersion()
{
    const long version = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u);
    return version > 0 ? int(version) : 0;
}

inline bool putUp(Walls walls)
{
    if (walls == Walls::LandlockAlone)
        return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && Sandbox::restrictFileSystem();
    Sandbox::Limits limits;
    limits.descriptors = 64;
    limits.fileSize = 1024 * 1024;
    limits.landlock = walls == Walls::Both;
    // Asked first: once the filter is up, asking is refused too.
    const bool landlockExpected = walls == Walls::Both && landlockVersion() > 0;
    bool landlocked = false;
    return Sandbox::apply(limits, nullptr, &landlocked) && landlocked == landlockExpected;
}

struct Child
{
    pid_t pid = -1;
    int report = -1;
};

// Forks a child that makes ready, puts up the walls and runs work, which
// says what it found in an int (-1: the walls did not go up); the child
// stops before it goes when asked to, so that its /proc entry can be read.
template<typename Ready, typename Work>
Child forkChild(Walls walls, bool stopAfter, Ready ready, Work work)
{
    int report[2];
    if (::pipe(report) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        int found = ready();
        if (found == 0)
            found = putUp(walls) ? work() : -1;
        ::write(report[1], &found, sizeof found);
        if (stopAfter)
            ::raise(SIGSTOP);
        // Out without exit handlers: they belong to the parent.
        ::_exit(0);
    }
    ::close(report[1]);
    return {pid, report[0]};
}

inline int reportOf(const Child &child, bool *said)
{
    int found = 0;
    *said = ::read(child.report, &found, sizeof found) == ssize_t(sizeof found);
    ::close(child.report);
    return found;
}

} // namespace WalledChild

#endif // WALLEDCHILD_H
