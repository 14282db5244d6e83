#include "base/imagelimits.h"
#include "ui/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();
    // What QApplication leaves are files and folders to open ("Open with").
    const QStringList paths = app.arguments().mid(1);
    if (!paths.isEmpty())
        window.openImages(paths);
    return app.exec();
}
