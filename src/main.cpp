#include "imageloader.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ImageLoader::configureReaders();
    MainWindow window;
    window.show();
    return app.exec();
}
