#include "ui/mainwindow.h"
#include "ui/singleinstance.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

using namespace TestSupport;
using namespace Hostile;

// One window: a second start hands its files to the window that is open,
// which takes them as it takes a drop. Each case runs the built program as
// a second process.
class tst_SingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondStartHandsOver_data();
    void secondStartHandsOver();
    void optionsLeaveTheWindowAlone_data();
    void optionsLeaveTheWindowAlone();
    void firstStartAnswers();
    void leftoverSocketReplaced();

private:
    QProcessEnvironment environment(const QString &runtimeDir) const;
    // A runtime folder of the user's own below root, where the window
    // listens; made this process's.
    static QString privateRuntime(const QString &root);
    // Waits for a start to end; false (and ended) when it does not.
    static bool ends(QProcess &start);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_SingleInstance::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

QProcessEnvironment tst_SingleInstance::environment(const QString &runtimeDir) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    // Should it open a window after all, it keeps away from the user's.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), settingsDir.filePath(QStringLiteral("child")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), settingsDir.filePath(QStringLiteral("cache")));
    return env;
}

QString tst_SingleInstance::privateRuntime(const QString &root)
{
    const QString runtime = root + "/run";
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    return runtime;
}

bool tst_SingleInstance::ends(QProcess &start)
{
    // The window answers while the test's event loop runs.
    QSignalSpy ended(&start, &QProcess::finished);
    if (start.state() == QProcess::NotRunning || ended.wait(120000))
        return true;
    start.kill();
    start.waitForFinished();
    return false;
}

namespace {

// The window a later start finds open, listening.
struct Listening
{
    MainWindow w;
    WindowDriver d{&w};
    SingleInstance instance;
    QSignalSpy handed{&instance, &SingleInstance::filesHanded};

    bool listen()
    {
        w.show();
        if (!instance.listen())
            return false;
        instance.attach(&w);
        return true;
    }
};

} // namespace

void tst_SingleInstance::secondStartHandsOver_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@" stands for the photos' folder
    QTest::addColumn<QString>("loaded");
    QTest::addColumn<QString>("saveDir"); // below the photos' folder's parent

    QTest::newRow("a file named from the starter's folder")
            << QStringList{"a.png"} << "1 images loaded" << "/photos/ConvertedImages";
    QTest::newRow("a folder") << QStringList{"@"} << "3 images loaded" << "/photos (converted)";
    QTest::newRow("a file: URL and a folder")
            << QStringList{"file://@/a.png", "@/trip"} << "3 images loaded"
            << "/photos/trip (converted)";
    QTest::newRow("nothing: the window comes forward") << QStringList{} << QString() << QString();
    QTest::newRow("a file named like an option, after --")
            << QStringList{"--", "-x.png"} << "1 images loaded" << "/photos/ConvertedImages";
}

void tst_SingleInstance::secondStartHandsOver()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, loaded);
    QFETCH(QString, saveDir);
    const QString root = tmp.filePath(QStringLiteral("hand ") + QTest::currentDataTag());
    const QString photos = root + "/photos";
    writeImage(photos + "/a.png", QSize(20, 20));
    writeImage(photos + "/trip/b.png", QSize(20, 20));
    writeImage(photos + "/trip/c.png", QSize(20, 20));
    if (arguments.contains(QStringLiteral("-x.png")))
        writeImage(photos + "/-x.png", QSize(20, 20));
    const QString runtime = privateRuntime(root);
    Listening open;
    QVERIFY(open.listen());
    const WindowDriver &d = open.d;

    QProcess second;
    second.setProcessEnvironment(environment(runtime));
    second.setWorkingDirectory(photos);
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    for (QString &argument : arguments)
        argument.replace(QLatin1Char('@'), photos);
    second.start(QStringLiteral(PICTAVO_EXECUTABLE), arguments);
    QVERIFY2(ends(second), "the second start did not end");
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(open.handed.count(), 1);
    if (loaded.isEmpty()) {
        QCOMPARE(d.original->count(), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(d.status->currentMessage(), loaded, 120000);
    QCOMPARE(d.saveDir->text(), root + saveDir);
}

void tst_SingleInstance::optionsLeaveTheWindowAlone_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("display"); // false: no display to be had
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("--help") << QStringList{"--help"} << true << 0 << "Usage: " << QString();
    QTest::newRow("--help without a display")
            << QStringList{"a.png", "--help"} << false << 0 << "Usage: " << QString();
    QTest::newRow("--version without a display")
            << QStringList{"--version"} << false << 0 << "pictavo " << QString();
    QTest::newRow("an unknown option")
            << QStringList{"a.png", "--bogus"} << true << 2 << QString() << "Unknown option 'bogus'";
}

// Options are answered by the start that was given them: the window that
// is open neither takes them for files nor hears of them.
void tst_SingleInstance::optionsLeaveTheWindowAlone()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, display);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString root = tmp.filePath(QStringLiteral("options ") + QTest::currentDataTag());
    writeImage(root + "/a.png", QSize(20, 20));
    const QString runtime = privateRuntime(root);
    Listening open;
    QVERIFY(open.listen());
    const WindowDriver &d = open.d;

    QProcess second;
    QProcessEnvironment env = environment(runtime);
    if (!display) {
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
    }
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(root);
    second.start(QStringLiteral(PICTAVO_EXECUTABLE), arguments);
    QVERIFY2(ends(second), "the start did not end");
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), exitCode);
    const QString stdOut = QString::fromLocal8Bit(second.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(second.readAllStandardError());
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(err.isEmpty() || stdErr.contains(err), qPrintable(stdErr));
    QCOMPARE(open.handed.count(), 0);
    QCOMPARE(d.original->count(), 0);
}

void tst_SingleInstance::firstStartAnswers()
{
    const QString root = tmp.filePath(QStringLiteral("first"));
    const QString runtime = privateRuntime(root);
    const QString photo = writeImage(root + "/a.png", QSize(20, 20));

    QProcess first;
    first.setProcessEnvironment(environment(runtime));
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QStringLiteral(PICTAVO_EXECUTABLE), {});
    QVERIFY(first.waitForStarted());
    auto stop = qScopeGuard([&first]() {
        first.kill();
        first.waitForFinished();
    });
    // With no window open, the first start is the window and answers.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(SingleInstance::serverName()), 120000);
    QVERIFY(SingleInstance::serverName().startsWith(runtime + "/"));
    QVERIFY(SingleInstance::handOver({photo}));
    QCOMPARE(first.state(), QProcess::Running);
    // Only one can answer.
    SingleInstance another;
    QVERIFY(!another.listen());
}

// A window that was killed leaves its socket: the next start takes the
// name over rather than hand its files to nobody.
void tst_SingleInstance::leftoverSocketReplaced()
{
    const QString runtime = tmp.filePath(QStringLiteral("leftover"));
    QVERIFY(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    const QByteArray name = QFile::encodeName(SingleInstance::serverName());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, name.constData(), sizeof(address.sun_path) - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(SingleInstance::serverName()));

    QVERIFY(!SingleInstance::handOver({QStringLiteral("/x.png")}, 2000));
    SingleInstance instance;
    QVERIFY(instance.listen());
}

QTEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
