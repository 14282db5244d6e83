#include "fs/filedates.h"
#include "ui/mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QToolButton>

#include <fcntl.h>
#include <sys/stat.h>

using namespace TestSupport;
using namespace Hostile;

// A converted photo keeps its original's file dates when asked to.
class tst_FileDates : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void applyTo_data();
    void applyTo();
    void datesFollowTheCheckBox_data();
    void datesFollowTheCheckBox();
    void volumeThatCannotHoldTheDate();

private:
    static void setTimes(const QString &path, qint64 accessed, qint64 modified);
    static struct stat statOf(const QString &path);
    static void convert(WindowDriver &d, const QString &file, const QString &saveDir);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

namespace {
constexpr qint64 takenAt = 988'000'000;   // 2001-04-23
constexpr qint64 lookedAt = 990'000'000;  // 2001-05-16
constexpr qint64 before1980 = 170'000'000; // 1975-05-22
} // namespace

void tst_FileDates::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
}

void tst_FileDates::setTimes(const QString &path, qint64 accessed, qint64 modified)
{
    struct timespec times[2];
    times[0] = {time_t(accessed), 250'000'000};
    times[1] = {time_t(modified), 500'000'000};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

struct stat tst_FileDates::statOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

void tst_FileDates::applyTo_data()
{
    QTest::addColumn<bool>("sourceThere");
    QTest::addColumn<bool>("targetThere");
    QTest::addColumn<QString>("reason"); // empty: kept

    QTest::newRow("kept to the nanosecond") << true << true << QString();
    QTest::newRow("no original") << false << true << "the original's dates could not be read";
    QTest::newRow("no file to date") << true << false << "folder not found";
}

void tst_FileDates::applyTo()
{
    QFETCH(bool, sourceThere);
    QFETCH(bool, targetThere);
    QFETCH(QString, reason);
    const QString dir = tmp.filePath(QStringLiteral("apply ") + QTest::currentDataTag());
    const QString source = dir + "/source.png";
    const QString target = dir + "/target.png";
    QVERIFY(QDir().mkpath(dir));
    if (sourceThere) {
        writeBytes(source, "a photo");
        setTimes(source, lookedAt, takenAt);
    }
    if (targetThere)
        writeBytes(target, "its copy");
    const FileDates dates = FileDates::of(source);
    QCOMPARE(dates.isValid(), sourceThere);
    QCOMPARE(dates.applyTo(target), reason);
    if (reason.isEmpty()) {
        const struct stat st = statOf(target);
        QCOMPARE(qint64(st.st_mtim.tv_sec), takenAt);
        QCOMPARE(long(st.st_mtim.tv_nsec), 500'000'000L);
        QCOMPARE(qint64(st.st_atim.tv_sec), lookedAt);
    }
}

void tst_FileDates::convert(WindowDriver &d, const QString &file, const QString &saveDir)
{
    d.status->clearMessage();
    d.w->openImages({file});
    QTRY_COMPARE(d.status->currentMessage(), QStringLiteral("1 images loaded"));
    if (!saveDir.isEmpty())
        d.saveDir->setText(saveDir);
    d.format->setCurrentIndex(d.format->findText(QStringLiteral("PNG")));
    QVERIFY(d.startCommand(FormatCommand));
    QTRY_VERIFY_WITH_TIMEOUT(d.report().finished, 120000);
}

void tst_FileDates::datesFollowTheCheckBox_data()
{
    QTest::addColumn<bool>("keep");
    QTest::newRow("kept") << true;
    QTest::newRow("not kept") << false;
}

void tst_FileDates::datesFollowTheCheckBox()
{
    QFETCH(bool, keep);
    const QString dir = tmp.filePath(QStringLiteral("window ") + QTest::currentDataTag());
    // Larger than a list row: its row shows the writer's preview, and does
    // not read the file (which would move its access time).
    const QString photo = writeImage(dir + "/photo.jpg", QSize(320, 240), "JPEG");
    setTimes(photo, lookedAt, takenAt);

    MainWindow w;
    w.show();
    WindowDriver d(&w);
    QVERIFY(d.complete());
    d.keepDates->setChecked(keep);
    convert(d, photo, QString());
    QCOMPARE(d.report().failed, 0);
    const QString result = dir + "/ConvertedImages/photo.png";
    QVERIFY(QFileInfo(result).isFile());
    const struct stat st = statOf(result);
    if (keep) {
        QCOMPARE(qint64(st.st_mtim.tv_sec), takenAt);
        // Listing the photo read it, which moved its access time: the
        // result has the one it had when it was converted.
        QCOMPARE(qint64(st.st_atim.tv_sec), qint64(statOf(photo).st_atim.tv_sec));
    } else {
        QVERIFY(qint64(st.st_mtim.tv_sec) > QDateTime::currentSecsSinceEpoch() - 3600);
    }
    // The original keeps its own, read or not.
    QCOMPARE(qint64(statOf(photo).st_mtim.tv_sec), takenAt);
    QVERIFY(!w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"))->isVisible());
}

// A FAT card holds no date before 1980: the photo is written all the
// same, with a warning on it.
void tst_FileDates::volumeThatCannotHoldTheDate()
{
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    const QString card = tmp.filePath(QStringLiteral("card"));
    QVERIFY(QDir().mkpath(card));
    const QString why = mountFat(image, card, 8);
    if (!why.isEmpty())
        QSKIP(qPrintable(why));
    auto unmount = qScopeGuard([card]() { unmountFat(card); });

    const QString photo = writeImage(tmp.filePath(QStringLiteral("old/scan.png")), QSize(20, 20));
    setTimes(photo, before1980, before1980);
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    d.keepDates->setChecked(true);
    convert(d, photo, card + "/");
    QCOMPARE(d.report().failed, 0);
    QVERIFY(QFileInfo(card + "/scan.png").isFile());
    auto *failures = w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    QVERIFY(failures->isVisible());
    QCOMPARE(failures->text(), QStringLiteral("1 warning"));
}

QTEST_MAIN(tst_FileDates)
#include "tst_filedates.moc"
