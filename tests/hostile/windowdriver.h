#ifndef WINDOWDRIVER_H
#define WINDOWDRIVER_H

#include "commands.h"
#include "ui/mainwindow.h"
#include "opendialog.h"
#include "statustext.h"

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>

namespace Hostile {

// What the status bar says when a batch is over.
struct StatusReport
{
    bool finished = false;
    QString command; // "Size convert", "Format convert", "Size and format convert"
    int failed = 0;
    int total = -1;  // -1: the text names no total (nothing failed)
    QString saved;   // "512 MB → 143 MB", when anything was written
};

inline StatusReport parseFinished(const QString &text)
{
    static const QRegularExpression pattern(
            QStringLiteral("^(Size convert|Format convert|Size and format convert) finished"
                           "(?:, (\\d+) of (\\d+) images failed)?(?:")
            + TestSupport::savedPattern() + QStringLiteral(")?(?:")
            + TestSupport::notOpenedPattern() + QStringLiteral(")?$"));
    StatusReport report;
    const QRegularExpressionMatch m = pattern.match(text);
    if (!m.hasMatch())
        return report;
    report.finished = true;
    report.command = m.captured(1);
    if (m.hasCaptured(2)) {
        report.failed = m.captured(2).toInt();
        report.total = m.captured(3).toInt();
    }
    report.saved = m.captured(4);
    return report;
}

// Drags urls over target and drops them there, as a file manager would;
// true when both the drag and the drop were taken, as a copy.
inline bool dropUrls(QWidget *target, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = target->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent dropped(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    // Never a move: the file manager would delete the originals.
    return move.isAccepted() && dropped.isAccepted() && dropped.dropAction() == Qt::CopyAction;
}

// The main window driven only through what it shows: widgets found by their
// object names and slots invoked by name, as the toolbar and menus do.
class WindowDriver
{
public:
    explicit WindowDriver(MainWindow *window) : w(window)
    {
        original = find<QListWidget>("listWidgetOriginal");
        converted = find<QListWidget>("listWidgetConvert");
        saveDir = find<QLineEdit>("lineEditSaveDir");
        format = find<QComboBox>("comboBoxFormat");
        sizeMode = find<QComboBox>("comboBoxSizeSettingMode");
        percent = find<QSpinBox>("spinBoxPercent");
        autoOpen = find<QCheckBox>("checkBoxAutoOpenDir");
        keepDates = find<QCheckBox>("checkBoxKeepDates");
        removeLocation = find<QCheckBox>("checkBoxRemoveLocation");
        status = find<QStatusBar>("statusBar");
    }

    bool complete() const
    {
        return original && converted && saveDir && format && sizeMode && percent && autoOpen
                && keepDates && removeLocation && status;
    }

    // Starts the open command and answers its dialog; true once the dialog
    // took the files (thumbnails may still be on their way).
    bool startOpen(const QStringList &files)
    {
        // Shared: should no dialog come, the answer arrives after we return.
        auto answered = std::make_shared<bool>(false);
        answerOpenDialog(files, [answered](bool ok) { *answered = ok; });
        // Blocks in the dialog's own event loop until it is answered.
        QMetaObject::invokeMethod(w, "addImages", Qt::DirectConnection);
        return *answered;
    }

    static QString slotOf(int command)
    {
        switch (command) {
        case SizeCommand: return QStringLiteral("sizeConvert");
        case FormatCommand: return QStringLiteral("formatConvert");
        default: return QStringLiteral("bothConvert");
        }
    }

    static QString finishedTextOf(int command)
    {
        switch (command) {
        case SizeCommand: return QStringLiteral("Size convert");
        case FormatCommand: return QStringLiteral("Format convert");
        default: return QStringLiteral("Size and format convert");
        }
    }

    bool startCommand(int command)
    {
        return QMetaObject::invokeMethod(w, slotOf(command).toLatin1().constData(),
                                         Qt::DirectConnection);
    }

    StatusReport report() const { return parseFinished(status->currentMessage()); }

    MainWindow *w;
    QListWidget *original = nullptr;
    QListWidget *converted = nullptr;
    QLineEdit *saveDir = nullptr;
    QComboBox *format = nullptr;
    QComboBox *sizeMode = nullptr;
    QSpinBox *percent = nullptr;
    QCheckBox *autoOpen = nullptr;
    QCheckBox *keepDates = nullptr;
    QCheckBox *removeLocation = nullptr;
    QStatusBar *status = nullptr;

private:
    template<typename T>
    T *find(const char *name) const
    {
        return w->findChild<T *>(QLatin1String(name));
    }
};

} // namespace Hostile

#endif // WINDOWDRIVER_H
