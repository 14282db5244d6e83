#include "base/imagelimits.h"
#include "ui/commandline.h"
#include "ui/mainwindow.h"
#include "ui/singleinstance.h"
#include "ui/watchedapplication.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

// Prints what the command line asked or why it was refused; the exit
// status.
int answer(const CommandLine &line)
{
    const QByteArray text = line.text.toLocal8Bit();
    std::fputs(text.constData(), line.action == CommandLine::Action::Refuse ? stderr : stdout);
    return line.action == CommandLine::Action::Refuse ? 2 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // --help and --version are answered without a window, and so without
    // a display.
    if (CommandLine::asksQuestion(argc, argv)) {
        QCoreApplication core(argc, argv);
        return answer(CommandLine::parse(core.arguments()));
    }
    // Logs the window's stalls when asked: QT_LOGGING_RULES="pictavo.stall=true".
    WatchedApplication app(argc, argv);
    // What QApplication leaves are options of ours and files and folders
    // to open ("Open with").
    const CommandLine line = CommandLine::parse(app.arguments());
    if (line.action != CommandLine::Action::Open)
        return answer(line);
    const QStringList &paths = line.paths;
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
