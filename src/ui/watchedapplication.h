#ifndef WATCHEDAPPLICATION_H
#define WATCHEDAPPLICATION_H

#include <QApplication>

class StallWatch;

// The application whose GUI thread watches itself: every delivery on it goes
// through the stall watch, which logs events that kept the window busy too
// long (category pictavo.stall).
class WatchedApplication : public QApplication
{
public:
    WatchedApplication(int &argc, char **argv);

    StallWatch *stallWatch() const { return watch; }

    bool notify(QObject *receiver, QEvent *event) override;

private:
    StallWatch *watch = nullptr;
};

#endif // WATCHEDAPPLICATION_H
