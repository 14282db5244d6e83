#include "ui/watchedapplication.h"

#include "ui/stallwatch.h"

#include <QThread>

WatchedApplication::WatchedApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    watch = new StallWatch(this);
}

bool WatchedApplication::notify(QObject *receiver, QEvent *event)
{
    // Workers' events are theirs; only the window's thread can stall it.
    // (The watch comes after what QApplication's constructor delivers.)
    if (!watch || QThread::currentThread() != thread())
        return QApplication::notify(receiver, event);
    watch->enter(receiver, event);
    const bool result = QApplication::notify(receiver, event);
    watch->leave();
    return result;
}
