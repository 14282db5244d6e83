// Test-only stand-in for main.cpp that can be driven: it builds the window
// exactly as main() does, opens every PNG in the folder given as its one
// argument through the real open dialog, starts a size-and-format batch and
// closes the window as soon as the first result is written, as a user
// quitting half way would. It returns what app.exec() returns, so that
// tst_stress sees how the real program ends: exit code, warnings on stderr,
// stored settings and the files left behind.

#include "conversion/batchrunner.h"
#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "windowdriver.h"

#include <QApplication>
#include <QDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();

    if (argc != 2) {
        std::fprintf(stderr, "usage: %s IMAGE-FOLDER\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    QStringList files;
    for (const QString &name : dir.entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name))
        files << dir.absoluteFilePath(name);

    Hostile::WindowDriver driver(&window);
    auto *queue = window.findChild<BatchRunner *>();
    if (!driver.complete() || !queue || files.isEmpty()) {
        std::fprintf(stderr, "closemidbatch: window parts or images missing\n");
        return 2;
    }

    bool started = false;
    bool closing = false;
    QObject::connect(driver.status, &QStatusBar::messageChanged, &window,
                     [&](const QString &message) {
                         if (!started
                             && message == QStringLiteral("%1 images loaded").arg(files.size())) {
                             started = true;
                             driver.startCommand(Hostile::BothCommand);
                         }
                     });
    QObject::connect(queue, &BatchRunner::progressChanged, &window,
                     [&](int done, int total) {
                         if (closing || done < 1 || total == 0)
                             return;
                         closing = true;
                         std::printf("closing after %d of %d\n", done, total);
                         std::fflush(stdout);
                         // Through the event loop, as a click on Quit would.
                         QTimer::singleShot(0, &window, &QWidget::close);
                     });
    QTimer::singleShot(0, &window, [&]() {
        if (!driver.startOpen(files)) {
            std::fprintf(stderr, "closemidbatch: the open dialog did not take the files\n");
            app.exit(3);
        }
    });
    const int code = app.exec();
    std::printf("event loop returned %d\n", code);
    return code;
}
