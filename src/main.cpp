#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "ui/watchedapplication.h"

int main(int argc, char *argv[])
{
    // Logs the window's stalls when asked: QT_LOGGING_RULES="pictavo.stall=true".
    WatchedApplication app(argc, argv);
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();
    // What QApplication leaves are files and folders to open ("Open with").
    const QStringList paths = app.arguments().mid(1);
    if (!paths.isEmpty())
        window.openImages(paths);
    return app.exec();
}
