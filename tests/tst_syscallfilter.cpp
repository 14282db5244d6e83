#include "walledchild.h"

#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace WalledChild;

// The helper's system call filter, as the kernel applies it in a forked
// child: calls through another architecture's entry point.
class tst_SyscallFilter : public QObject
{
    Q_OBJECT

private slots:
    void foreignEntryPointKills_data();
    void foreignEntryPointKills();
};

void tst_SyscallFilter::foreignEntryPointKills_data()
{
    QTest::addColumn<int>("entry");
    QTest::newRow("i386 (int 0x80)") << 0;
    QTest::newRow("x32") << 1;
}

// Another architecture's calls have other numbers: the filter cannot tell
// what they are, so the process dies.
void tst_SyscallFilter::foreignEntryPointKills()
{
#if !defined(__x86_64__)
    QSKIP("x86-64 alone has these entry points");
#else
    QFETCH(int, entry);
    // The test's crash handler would report the death as its own.
    const auto ready = []() {
        ::signal(SIGSEGV, SIG_DFL);
        return 0;
    };
    const Child child = forkChild(Walls::FilterAlone, false, ready, [entry]() {
        long rc = 0;
        if (entry == 0) {
            // getpid on i386
            asm volatile("int $0x80" : "=a"(rc) : "a"(20L) : "memory");
        } else {
            // getpid through the x32 numbers
            rc = ::syscall(0x40000000L | 39);
        }
        return int(rc);
    });
    QVERIFY(child.pid > 0);
    bool said = false;
    reportOf(child, &said);
    int status = 0;
    QCOMPARE(::waitpid(child.pid, &status, 0), child.pid);
    QVERIFY2(!said, "the child came back");
    QVERIFY(WIFSIGNALED(status));
    // SIGSEGV: this kernel has no i386 entry point at all (built without,
    // or switched off), and the filter is never asked.
    const bool noEntryPoint = entry == 0 && WTERMSIG(status) == SIGSEGV;
    if (!noEntryPoint)
        QCOMPARE(WTERMSIG(status), SIGSYS);
#endif
}

QTEST_GUILESS_MAIN(tst_SyscallFilter)
#include "tst_syscallfilter.moc"
