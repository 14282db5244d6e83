#include "ui/mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QBuffer>
#include <QColorSpace>
#include <QDialog>
#include <QToolButton>
#include <QTreeWidget>

#include <memory>

using namespace Hostile;

// Failed images as the user meets them: counted in the status bar, shown
// by a button there, listed with their reasons in a dialog.
class tst_FailuresDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void damagedJpegFailsBesideWholeOne();
    void listed_data();
    void listed();

private:
    QList<QStringList> dialogRows(QToolButton *button);
    void convert(WindowDriver &d, const QStringList &files, StatusReport *report);

    QTemporaryDir settingsDir;
    QTemporaryDir work;
    UrlCatcher sink;
};

void tst_FailuresDialog::initTestCase()
{
    QVERIFY(settingsDir.isValid() && work.isValid());
    TestSupport::isolateSettings(settingsDir);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
}

void tst_FailuresDialog::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

// Clicks the button, which opens a modal dialog; reads its rows, then
// closes it as a user would.
QList<QStringList> tst_FailuresDialog::dialogRows(QToolButton *button)
{
    QList<QStringList> rows;
    bool modal = false;
    QTimer::singleShot(0, [&]() {
        QTRY_VERIFY(QApplication::activeModalWidget());
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        modal = dialog && dialog->isModal();
        if (auto *tree = dialog->findChild<QTreeWidget *>(QStringLiteral("treeWidgetFailures"))) {
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                const QTreeWidgetItem *item = tree->topLevelItem(i);
                rows << QStringList{item->text(0), item->text(1), item->text(2)};
            }
        }
        QTest::keyClick(dialog, Qt::Key_Escape);
    });
    QTest::mouseClick(button, Qt::LeftButton);
    if (!modal)
        qWarning("the failures dialog was not modal");
    return rows;
}

void tst_FailuresDialog::convert(WindowDriver &d, const QStringList &files, StatusReport *report)
{
    QVERIFY(d.complete());
    d.autoOpen->setChecked(false);
    QVERIFY2(d.startOpen(files), "the open dialog did not take the files");
    QTRY_COMPARE(d.status->currentMessage(), QStringLiteral("%1 images loaded").arg(files.size()));
    QVERIFY(d.startCommand(SizeCommand));
    QTRY_VERIFY(d.report().finished);
    *report = d.report();
}

void tst_FailuresDialog::damagedJpegFailsBesideWholeOne()
{
    const QString whole = TestSupport::writeImage(work.filePath("whole/beach.jpg"), QSize(120, 80));
    const QString cut = TestSupport::writeTruncatedJpeg(work.filePath("whole/truncated-at-half.jpg"));
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    StatusReport report;
    convert(d, {whole, cut}, &report);
    QCOMPARE(report.failed, 1);
    QCOMPARE(report.total, 2);
    // Only the whole photo was written.
    QCOMPARE(QDir(work.filePath("whole/ConvertedImages")).entryList(QDir::Files),
             QStringList{QStringLiteral("beach.jpg")});
    QCOMPARE(d.converted->count(), 1);
    auto *button = w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    QVERIFY(button);
    QVERIFY(button->isVisible());
    QCOMPARE(button->text(), QStringLiteral("1 failed"));
}

// Each row: the files of one batch, what the status bar and the button
// then say, and the dialog's rows. A photo written without something of
// its own (here its damaged profile) is counted apart from the failures
// and listed with what it lacks.
void tst_FailuresDialog::listed_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QList<QStringList>>("rows"); // name, reason; the folder is the files'
    QTest::addColumn<QStringList>("written");

    const QString dir = work.filePath(QStringLiteral("bad"));
    const QString text = TestSupport::writeBytes(dir + QStringLiteral("/text-named-photo.jpg"),
                                                 "Holiday notes, not a photograph.\n");
    const QString cut = TestSupport::writeTruncatedJpeg(dir + QStringLiteral("/truncated-at-half.jpg"));
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        TestSupport::pattern(QSize(60, 40)).save(&buffer, "jpeg");
    }
    // Half a profile: its header claims the whole.
    const QByteArray whole = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    const QByteArray profile = whole.left(whole.size() / 2);
    QByteArray app2 = QByteArray("\xff\xe2", 2);
    app2 += char((profile.size() + 16) >> 8);
    app2 += char((profile.size() + 16) & 0xff);
    app2 += QByteArray("ICC_PROFILE\0\1\1", 14) + profile;
    const QString damaged = TestSupport::writeBytes(dir + QStringLiteral("/profile-truncated.jpg"),
                                                    jpeg.left(2) + app2 + jpeg.mid(2));

    const QStringList notAnImage{QStringLiteral("text-named-photo.jpg"), QStringLiteral("not an image")};
    const QStringList endsEarly{QStringLiteral("truncated-at-half.jpg"),
                                QStringLiteral("damaged file (data ends early)")};
    const QStringList profileDamaged{
            QStringLiteral("profile-truncated.jpg"),
            QStringLiteral("written, but its colour profile is damaged: its colours were "
                           "written as stored")};
    QTest::newRow("two failures") << QStringList{text, cut}
                                  << QStringLiteral("Size convert finished, 2 of 2 images failed")
                                  << QStringLiteral("2 failed")
                                  << QList<QStringList>{notAnImage, endsEarly} << QStringList();
    QTest::newRow("a warning beside a failure")
            << QStringList{damaged, cut}
            << QStringLiteral("Size convert finished, 1 of 2 images failed")
            << QStringLiteral("1 failed, 1 warning") << QList<QStringList>{profileDamaged, endsEarly}
            << QStringList{QStringLiteral("profile-truncated.jpg")};
    // Warnings alone: the batch did not fail.
    QTest::newRow("a warning alone") << QStringList{damaged} << QStringLiteral("Size convert finished")
                                     << QStringLiteral("1 warning")
                                     << QList<QStringList>{profileDamaged}
                                     << QStringList{QStringLiteral("profile-truncated.jpg")};
}

void tst_FailuresDialog::listed()
{
    QFETCH(QStringList, files);
    QFETCH(QString, status);
    QFETCH(QString, buttonText);
    QFETCH(QList<QStringList>, rows);
    QFETCH(QStringList, written);

    MainWindow w;
    w.show();
    WindowDriver d(&w);
    StatusReport report;
    convert(d, files, &report);
    QCOMPARE(TestSupport::withoutSaved(w.statusBar()->currentMessage()), status);
    auto *button = w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    QVERIFY(button && button->isVisible());
    QCOMPARE(button->text(), buttonText);

    const QString dir = QFileInfo(files.first()).absolutePath();
    const QString folder = QDir::toNativeSeparators(dir);
    QList<QStringList> expected;
    for (const QStringList &row : std::as_const(rows))
        expected.append({row.at(0), folder, row.at(1)});
    QCOMPARE(dialogRows(button), expected);
    for (const QString &name : std::as_const(written))
        QVERIFY(QFileInfo::exists(dir + QStringLiteral("/ConvertedImages/") + name));

    // The next batch starts without the old failures.
    QVERIFY(d.startCommand(FormatCommand));
    QVERIFY(!button->isVisible());
    QTRY_VERIFY(d.report().finished);
}

QTEST_MAIN(tst_FailuresDialog)
#include "tst_failuresdialog.moc"
