// Test-only stand-in for main.cpp that runs one batch under a limit on its
// address space, the way a machine short of memory would: it builds the
// window as main() does, converts a few small images once so that the
// program's threads exist, then lowers the limit to what it uses now plus
// the headroom given and converts every PNG in the folder at the percentage
// and format given (its PNGs and JPEGs). It prints the status bar's report and returns what
// app.exec() returns, so that tst_safety sees whether the program survived,
// and the peak resident memory of the whole run.
//
// usage: pictavo_memorylimit IMAGE-FOLDER WARM-UP-FOLDER HEADROOM-MB PERCENT FORMAT-INDEX

#include "base/imagelimits.h"
#include "ui/mainwindow.h"
#include "windowdriver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

// A figure of /proc/self/status ("VmSize", "VmHWM") in bytes, or -1.
qint64 statusBytes(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return -1;
}

QStringList pngsIn(const QString &folder)
{
    const QDir dir(folder);
    QStringList files;
    for (const QString &name : dir.entryList({QStringLiteral("*.png"), QStringLiteral("*.jpg")},
                                             QDir::Files, QDir::Name))
        files << dir.absoluteFilePath(name);
    return files;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s IMAGES WARM-UP HEADROOM-MB PERCENT FORMAT-INDEX\n", argv[0]);
        return 2;
    }
    ImageLimits::configureProcess();
    MainWindow window;
    window.show();
    Hostile::WindowDriver driver(&window);
    const QStringList files = pngsIn(QString::fromLocal8Bit(argv[1]));
    const QStringList warmUp = pngsIn(QString::fromLocal8Bit(argv[2]));
    const qint64 headroom = QByteArray(argv[3]).toLongLong() * 1024 * 1024;
    if (!driver.complete() || files.isEmpty() || warmUp.isEmpty()) {
        std::fprintf(stderr, "memorylimit: window parts or images missing\n");
        return 2;
    }
    driver.autoOpen->setChecked(false);
    driver.format->setCurrentIndex(QByteArray(argv[5]).toInt());

    int round = 0;
    QObject::connect(driver.status, &QStatusBar::messageChanged, &window,
                     [&](const QString &message) {
                         const QStringList &opened = round == 0 ? warmUp : files;
                         if (message == QStringLiteral("%1 images loaded").arg(opened.size())) {
                             driver.startCommand(Hostile::BothCommand);
                             return;
                         }
                         if (!driver.report().finished)
                             return;
                         if (round++ == 0) {
                             rlimit limit;
                             limit.rlim_cur = limit.rlim_max = rlim_t(statusBytes("VmSize") + headroom);
                             setrlimit(RLIMIT_AS, &limit);
                             driver.percent->setValue(QByteArray(argv[4]).toInt());
                             QTimer::singleShot(0, &window, [&]() { driver.startOpen(files); });
                             return;
                         }
                         std::printf("report: %s\npeak resident MiB: %lld\n", qPrintable(TestSupport::withoutSaved(message)),
                                     statusBytes("VmHWM") / (1024 * 1024));
                         std::fflush(stdout);
                         QTimer::singleShot(0, &window, &QWidget::close);
                     });
    QTimer::singleShot(0, &window, [&]() { driver.startOpen(warmUp); });
    const int code = app.exec();
    std::printf("event loop returned %d\n", code);
    return code;
}
