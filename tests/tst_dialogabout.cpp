#include "ui/dialogabout.h"
#include "urlcatcher.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

class tst_DialogAbout : public QObject
{
    Q_OBJECT

private slots:
    void foldsAndUnfolds();
    void homeButtonOpensPageAndStaysOpen();
    void languageChangeKeepsState();
    void textIsReadOnly();
};

void tst_DialogAbout::foldsAndUnfolds()
{
    DialogAbout dialog;
    dialog.show();
    auto *panel = dialog.findChild<QFrame *>(QStringLiteral("frame_2"));
    auto *license = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonLicense"));
    QVERIFY(panel && license);
    QCOMPARE(dialog.height(), 226);
    QVERIFY(!panel->isVisible());
    // How files are read is seen folded too, and whole.
    auto *sandbox = dialog.findChild<QLabel *>(QStringLiteral("labelSandbox"));
    QVERIFY(sandbox && sandbox->isVisible());
    QVERIFY2(sandbox->text().startsWith(QLatin1String("Files are read ")), qPrintable(sandbox->text()));
    QVERIFY(sandbox->heightForWidth(sandbox->width()) <= sandbox->height());

    QTest::mouseClick(license, Qt::LeftButton);
    QCOMPARE(dialog.height(), 387);
    QVERIFY(panel->isVisible());

    QTest::mouseClick(license, Qt::LeftButton);
    QCOMPARE(dialog.height(), 226);
    QVERIFY(!panel->isVisible());
    QCOMPARE(dialog.minimumHeight(), 226);
    QCOMPARE(dialog.maximumHeight(), 226);

    // A new box always opens folded.
    QTest::mouseClick(license, Qt::LeftButton);
    DialogAbout second;
    second.show();
    QCOMPARE(second.height(), 226);
}

void tst_DialogAbout::homeButtonOpensPageAndStaysOpen()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    DialogAbout dialog;
    dialog.show();
    auto *home = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonHome"));
    QVERIFY(home->isDefault());
    QTest::mouseClick(home, Qt::LeftButton);
    QCOMPARE(catcher.urls, QList<QUrl>{DialogAbout::homePage()});
    QVERIFY(dialog.isVisible());
    QCOMPARE(DialogAbout::homePage().scheme(), QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
}

void tst_DialogAbout::languageChangeKeepsState()
{
    DialogAbout dialog;
    dialog.show();
    auto *license = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonLicense"));
    QTest::mouseClick(license, Qt::LeftButton);
    auto *version = dialog.findChild<QLabel *>(QStringLiteral("labelVersion"));
    version->setText(QStringLiteral("changed"));
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&dialog, &change);
    QCOMPARE(version->text(), QStringLiteral("v0.1"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About"));
    QCOMPARE(dialog.height(), 387);
}

void tst_DialogAbout::textIsReadOnly()
{
    DialogAbout dialog;
    auto *text = dialog.findChild<QTextEdit *>(QStringLiteral("textEdit"));
    QVERIFY(text->isReadOnly());
    const QString before = text->toPlainText();
    QVERIFY(before.contains(QStringLiteral("Pictavo v0.1")));
    QVERIFY(before.contains(QStringLiteral("Qt library release ") + QLatin1String(qVersion())));
    QVERIFY(!before.contains(QLatin1Char('@')));
    QVERIFY(before.contains(QStringLiteral("9. ")));
    QTest::keyClicks(text, QStringLiteral("typed"));
    QCOMPARE(text->toPlainText(), before);
}

QTEST_MAIN(tst_DialogAbout)
#include "tst_dialogabout.moc"
