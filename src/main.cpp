#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "ui/singleinstance.h"
#include "ui/watchedapplication.h"

int main(int argc, char *argv[])
{
    // Logs the window's stalls when asked: QT_LOGGING_RULES="pictavo.stall=true".
    WatchedApplication app(argc, argv);
    // What QApplication leaves are files and folders to open ("Open with").
    const QStringList paths = app.arguments().mid(1);
    // One window: a window already open takes them, and this start ends.
    if (SingleInstance::handOver(paths))
        return 0;
    SingleInstance instance;
    // Another start won the race to answer: it takes them.
    if (!instance.listen() && SingleInstance::handOver(paths))
        return 0;
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();
    instance.attach(&window);
    if (!paths.isEmpty())
        window.openImages(paths);
    return app.exec();
}
