// Converts every file of a folder as a user does: opened through the Open
// Images dialog, 50 % to PNG by "Size and Format Convert", every file read
// by the shipped pictavo-helper. Then reads the failures list the way the
// user sees it and prints one line per row:
//
//   REALFAIL<TAB>file name<TAB>reason     an image that was not written
//   REALWARN<TAB>file name<TAB>warning    one written with a warning
//
// so that a judge comparing the results with other tools can tell a
// failure from a result that is wrong.
//
//   bench_realfiles FOLDER OUTDIR

#include "benchsupport.h"

#include "base/imagelimits.h"
#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QSpinBox>
#include <QToolButton>
#include <QTreeWidget>

using namespace Bench;

namespace {

constexpr int pngFormatIndex = 4;
// A written image's row in the failures list begins so.
const QString writtenBut = QStringLiteral("written, but ");

struct Row
{
    QString file;
    QString reason;
};

// Clicks the failures button, which opens a modal dialog, reads its rows
// and closes it.
QList<Row> failuresRows(QToolButton *button)
{
    QList<Row> rows;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        poll.stop();
        if (auto *tree = dialog->findChild<QTreeWidget *>(QStringLiteral("treeWidgetFailures"))) {
            for (int i = 0; i < tree->topLevelItemCount(); ++i) {
                const QTreeWidgetItem *item = tree->topLevelItem(i);
                rows.append({item->text(0), item->text(2)});
            }
        }
        dialog->reject();
    });
    poll.start();
    button->click();
    return rows;
}

QStringList filesOf(const QString &folder)
{
    QStringList paths;
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
        paths << dir.absoluteFilePath(name);
    return paths;
}

// Single-line text for a tab-separated line.
QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
}

int convertFolder(const QStringList &files, const QString &outDir)
{
    QTemporaryDir settings;
    isolateDesktop(settings.path());
    ImageLimits::configureProcess();
    MainWindow window;
    window.findChild<QCheckBox *>(QStringLiteral("checkBoxAutoOpenDir"))->setChecked(false);
    window.show();
    QApplication::processEvents();
    auto *status = window.findChild<QStatusBar *>(QStringLiteral("statusBar"));

    TestSupport::answerFileDialog(files);
    QMetaObject::invokeMethod(&window, "addImages", Qt::QueuedConnection);
    const QString loaded = QStringLiteral("%1 images loaded").arg(files.size());
    if (waitForStatus(status, [&](const QString &m) { return m == loaded; }, 900000).isEmpty()) {
        fprintf(stderr, "bench_realfiles: the files were never all loaded\n");
        return 1;
    }
    window.findChild<QComboBox *>(QStringLiteral("comboBoxSizeSettingMode"))->setCurrentIndex(0);
    window.findChild<QSpinBox *>(QStringLiteral("spinBoxPercent"))->setValue(50);
    window.findChild<QComboBox *>(QStringLiteral("comboBoxFormat"))->setCurrentIndex(pngFormatIndex);
    window.findChild<QLineEdit *>(QStringLiteral("lineEditSaveDir"))->setText(outDir);

    const QString finished = QStringLiteral("Size and format convert finished");
    QTimer::singleShot(0, &window, [&]() { QMetaObject::invokeMethod(&window, "bothConvert"); });
    const QString seen = waitForStatus(
            status, [&](const QString &m) { return m.startsWith(finished); }, 1800000);
    if (seen.isEmpty()) {
        fprintf(stderr, "bench_realfiles: the batch never finished\n");
        return 1;
    }
    if (!servedByHelpers()) {
        fprintf(stderr, "bench_realfiles: no helper ran; the files were read in-process\n");
        return 1;
    }

    int failed = 0;
    int warned = 0;
    auto *button = window.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"));
    if (button && button->isVisible()) {
        for (const Row &row : failuresRows(button)) {
            const bool warning = row.reason.startsWith(writtenBut);
            (warning ? warned : failed)++;
            out() << (warning ? "REALWARN\t" : "REALFAIL\t") << oneLine(row.file) << '\t'
                  << oneLine(row.reason) << '\n';
        }
    }
    out() << "status: " << seen << '\n'
          << "files: " << files.size() << ", written: "
          << QDir(outDir).entryList({QStringLiteral("*.png")}, QDir::Files).size()
          << ", failed: " << failed << ", warnings: " << warned << '\n'
          << helperNote() << '\n';
    out().flush();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    useOffscreenPlatform();
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2) {
        fprintf(stderr, "usage: bench_realfiles FOLDER OUTDIR\n");
        return 2;
    }
    const QStringList files = filesOf(args.at(0));
    if (files.isEmpty()) {
        fprintf(stderr, "bench_realfiles: no files in %s\n", qPrintable(args.at(0)));
        return 2;
    }
    if (!useShippedHelper("bench_realfiles"))
        return 1;
    QDir().mkpath(args.at(1));
    return convertFolder(files, QDir(args.at(1)).absolutePath());
}
