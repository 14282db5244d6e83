// Linked into the test programs of the ThreadSanitizer build only.
//
// Debian's Qt is not built with -fsanitize=thread. Its mutexes and wait
// conditions sit on futexes that TSan cannot see, so every hand-over that Qt
// orders for us looks like a race: a job given to a QThreadPool, a queued
// signal or invokeMethod() delivered on the GUI thread, a QThread object
// deleted after wait(). Suppressing those reports would hide our own races
// along with them. Instead, the few exported Qt entry points our code calls
// are wrapped here to tell TSan about the ordering Qt guarantees
// (__tsan_release before the hand-over, __tsan_acquire where it arrives);
// the real Qt function is then called through dlsym(RTLD_NEXT).
//
// Our definitions win for calls from our own code, which is linked
// statically into each test; calls inside Qt stay Qt's, which is all the
// wrapping needs.

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <QVariant>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

// To size a plugin's thread-local block, the runtime's __tls_get_addr hook
// guesses at a glibc header in front of it. Debian 12's glibc puts none
// there: when a block happens to start 16 bytes into a page, the guess reads
// garbage and the runtime dies mapping terabytes of shadow, at random. glibc
// takes those blocks from malloc, which the runtime tracks anyway, so the
// hook adds nothing and is turned off for every test run, not only the
// ones started by scripts/sanitize.sh.
extern "C" const char *__tsan_default_options()
{
    return "intercept_tls_get_addr=0";
}

namespace {

template<typename Fn>
Fn realFunction(const char *mangledName)
{
    void *symbol = dlsym(RTLD_NEXT, mangledName);
    if (!symbol) {
        std::fprintf(stderr, "tsan_qt_bridge: %s not found in Qt\n", mangledName);
        std::abort();
    }
    return reinterpret_cast<Fn>(symbol);
}

// A slot object that first acquires what the sending side released, then
// runs the slot it wraps. The key is the sender for connections, else the
// wrapper itself: an address the receiving side knows without reading
// memory it has no right to yet.
class AcquiringSlot : public QtPrivate::QSlotObjectBase
{
public:
    AcquiringSlot(QtPrivate::QSlotObjectBase *inner, const QObject *sender)
        : QSlotObjectBase(&impl), inner(inner), sender(sender)
    {
    }

private:
    static void impl(int which, QSlotObjectBase *base, QObject *receiver, void **args, bool *ret)
    {
        auto *self = static_cast<AcquiringSlot *>(base);
        switch (which) {
        case Destroy:
            self->inner->destroyIfLastRef();
            delete self;
            break;
        case Call:
            __tsan_acquire(self);
            if (self->sender)
                __tsan_acquire(const_cast<QObject *>(self->sender));
            self->inner->call(receiver, args);
            break;
        case Compare:
            *ret = self->inner->compare(args);
            break;
        default:
            break;
        }
    }

    QtPrivate::QSlotObjectBase *inner;
    const QObject *sender;
};

// A pool job that acquires on its own address, which survives the moves of
// the std::function that holds it.
struct PoolJob
{
    std::function<void()> job;
    QThreadPool *pool;

    void operator()()
    {
        __tsan_acquire(this);
        job();
        job = nullptr; // its captures go before the pool counts as done
        __tsan_release(pool);
    }
};

} // namespace

// A thread's own accesses happen before wait() returns true. The release
// is made by a direct connection to finished(), which the thread emits as
// its last act before Qt marks it finished.
void QThread::start(Priority priority)
{
    static const auto real =
            realFunction<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    static const char bridged[] = "_tsan_qt_bridge";
    if (!property(bridged).toBool()) {
        setProperty(bridged, true);
        connect(this, &QThread::finished, this, [this]() { __tsan_release(this); },
                Qt::DirectConnection);
    }
    real(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real =
            realFunction<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = real(this, deadline);
    if (finished)
        __tsan_acquire(this);
    return finished;
}

// What the caller did before start() happens before the job runs; what the
// job did happens before waitForDone() returns true.
void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    static const auto real = realFunction<void (*)(QThreadPool *, std::function<void()>, int)>(
            "_ZN11QThreadPool5startESt8functionIFvvEEi");
    std::function<void()> wrapped = PoolJob{std::move(functionToRun), this};
    // Released once the wrapper is built: building it is part of the past.
    __tsan_release(wrapped.target<PoolJob>());
    real(this, std::move(wrapped), priority);
}

bool QThreadPool::waitForDone(int msecs)
{
    static const auto real =
            realFunction<bool (*)(QThreadPool *, int)>("_ZN11QThreadPool11waitForDoneEi");
    const bool done = real(this, msecs);
    if (done)
        __tsan_acquire(this);
    return done;
}

// invokeMethod() with a functor: the caller's past happens before the call.
bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot,
                                   Qt::ConnectionType type, void *ret)
{
    static const auto real =
            realFunction<bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType,
                                  void *)>(
                    "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt"
                    "14ConnectionTypeEPv");
    auto *wrapped = new AcquiringSlot(slot, nullptr);
    __tsan_release(wrapped);
    return real(object, wrapped, type, ret);
}

// Signals: an emission releases on its sender, and every slot connected
// with the function-pointer syntax acquires on it before it runs. Coarser
// than one key per emission (a slot also sees what the sender did before
// later emissions), which is the price of not reaching into Qt's queue.
void QMetaObject::activate(QObject *sender, const QMetaObject *meta, int localSignalIndex,
                           void **argv)
{
    static const auto real =
            realFunction<void (*)(QObject *, const QMetaObject *, int, void **)>(
                    "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    __tsan_release(sender);
    real(sender, meta, localSignalIndex, argv);
}

QMetaObject::Connection QObject::connectImpl(const QObject *sender, void **signal,
                                             const QObject *receiver, void **slotPtr,
                                             QtPrivate::QSlotObjectBase *slot,
                                             Qt::ConnectionType type, const int *types,
                                             const QMetaObject *senderMetaObject)
{
    static const auto real =
            realFunction<QMetaObject::Connection (*)(const QObject *, void **, const QObject *,
                                                     void **, QtPrivate::QSlotObjectBase *,
                                                     Qt::ConnectionType, const int *,
                                                     const QMetaObject *)>(
                    "_ZN7QObject11connectImplEPKS_PPvS1_S3_PN9QtPrivate15QSlotObjectBaseEN2Qt"
                    "14ConnectionTypeEPKiPK11QMetaObject");
    if (slot) {
        slot = new AcquiringSlot(slot, sender);
        __tsan_release(slot);
    }
    return real(sender, signal, receiver, slotPtr, slot, type, types, senderMetaObject);
}
