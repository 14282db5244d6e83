#include "ui/filedialogtuner.h"

#include "base/logging.h"
#include "sources/sourceformat.h"

#include <QChildEvent>
#include <QEvent>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileSystemModel>
#include <QHash>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QMetaMethod>
#include <QMutex>
#include <QTreeView>
#include <QWidget>

namespace {

// Types files by their suffix, asking the MIME database once per suffix:
// all the photos of a folder share a handful. Asked from the dialog's
// file-information thread as well as from the window's.
class SuffixTypes : public QFileIconProvider
{
public:
    QString type(const QFileInfo &info) const override
    {
        const QString suffix = info.suffix().toLower();
        if (suffix.isEmpty() || !info.isFile())
            return QFileIconProvider::type(info);
        QMutexLocker locker(&lock);
        const auto known = types.constFind(suffix);
        if (known != types.constEnd())
            return *known;
        locker.unlock();
        const QString type = QFileIconProvider::type(info);
        locker.relock();
        types.insert(suffix, type);
        return type;
    }

private:
    mutable QMutex lock;
    mutable QHash<QString, QString> types;
};

// Whether text is what the dialog writes into its name field for the
// files selected in its list: their names in the list's order, quoted when
// there are several, cut at the field's length. Read no further than the
// text goes, so that it costs the same for ten thousand rows as for a
// thousand; where the selection is laid out otherwise than this expects,
// the answer is no, and the dialog looks the names up as it would.
bool echoes(const QListView *list, const QLineEdit *field, const QString &text)
{
    const bool quoted = text.startsWith(QLatin1Char('"'));
    QString echo;
    echo.reserve(text.size() + 256);
    const QItemSelection selection = list->selectionModel()->selection();
    for (const QItemSelectionRange &range : selection) {
        const auto *files = qobject_cast<const QFileSystemModel *>(range.model());
        for (int row = range.top(); row <= range.bottom(); ++row) {
            const QModelIndex index = range.model()->index(row, 0, range.parent());
            if (files && files->isDir(index))
                continue;
            if (!echo.isEmpty())
                echo += QLatin1Char(' ');
            const QString name = index.data().toString();
            if (quoted)
                echo += QLatin1Char('"') + name + QLatin1Char('"');
            else
                echo += name;
            if (echo.size() > text.size())
                return text.size() == field->maxLength() && echo.startsWith(text);
        }
    }
    return echo == text;
}

bool skipEchoLookUp(QFileDialog *dialog)
{
    auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    auto *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
    const QMetaObject *meta = dialog->metaObject();
    const QMetaMethod lookUp = meta->method(meta->indexOfSlot("_q_autoCompleteFileName(QString)"));
    const QMetaMethod updateButton = meta->method(meta->indexOfSlot("_q_updateOkButton()"));
    const QMetaMethod changed = QMetaMethod::fromSignal(&QLineEdit::textChanged);
    if (!field || !list || !list->selectionModel() || !lookUp.isValid() || !updateButton.isValid())
        return false;
    // Both of the dialog's reactions to the field, replaced by one that
    // runs them in the same order; when the first is not connected (done
    // already, or wired otherwise) nothing changes.
    if (!QObject::disconnect(field, changed, dialog, lookUp))
        return false;
    QObject::disconnect(field, changed, dialog, updateButton);
    QObject::connect(field, &QLineEdit::textChanged, dialog,
                     [dialog, field, list, lookUp, updateButton](const QString &text) {
                         // The look-up selects the rows the field names
                         // and, while the field has the focus, unselects
                         // the others: nothing to do when the field says
                         // what is selected, as it does after every change
                         // of selection in the list.
                         if (field->hasFocus() || !echoes(list, field, text))
                             lookUp.invoke(dialog, Qt::DirectConnection, Q_ARG(QString, text));
                         updateButton.invoke(dialog, Qt::DirectConnection);
                     });
    return true;
}

} // namespace

FileDialogTuner::FileDialogTuner(QWidget *window) : QObject(window)
{
    window->installEventFilter(this);
}

bool FileDialogTuner::eventFilter(QObject *watched, QEvent *event)
{
    // A dialog is whole once it is polished, just before it is first shown.
    if (event->type() == QEvent::ChildPolished) {
        if (auto *dialog = qobject_cast<QFileDialog *>(static_cast<QChildEvent *>(event)->child()))
            tune(dialog);
    }
    return QObject::eventFilter(watched, event);
}

bool FileDialogTuner::tune(QFileDialog *dialog)
{
    // One for the process, as long as it runs: the dialog does not own
    // its provider, and its file-information thread may still ask it while
    // the dialog goes.
    static SuffixTypes *const types = new SuffixTypes;
    if (dialog->iconProvider() != types)
        dialog->setIconProvider(types);
    if (auto *details = dialog->findChild<QTreeView *>(QStringLiteral("treeView")))
        details->setUniformRowHeights(true);
    const bool wired = skipEchoLookUp(dialog);
    qCDebug(lcUi) << "file dialog tuned; its name field" << (wired ? "rewired" : "left as it is");
    return wired;
}

QString FileDialogTuner::openFilters()
{
    QStringList readable;
    for (const QString &suffix : SourceFormat::suffixes())
        readable << QStringLiteral("*.") + suffix;
    return QStringLiteral("*.jpg *.png *.bmp *jpeg *tiff *ppm *xbm *xpm;;")
            + tr("All supported images (%1)").arg(readable.join(QLatin1Char(' ')))
            + QStringLiteral(";;") + tr("All files (*)");
}
