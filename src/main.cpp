#include "imagelimits.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();
    return app.exec();
}
