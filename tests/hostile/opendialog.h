#ifndef OPENDIALOG_H
#define OPENDIALOG_H

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QTimer>

#include <functional>
#include <memory>

namespace Hostile {

// Answers the next modal file dialog as a user with a mouse would: goes to
// the folder and clicks the files in the list. Typing names cannot pick a
// file whose name holds a double quote, since the dialog splits typed text
// at quotes; clicking can. A single file the dialog's filter hides (one
// without a suffix) cannot be clicked, so it is typed, as a user would.
//
// Returns at once; done(true) is called once the dialog took the choice,
// done(false) when it could not be made (a file not shown within a few
// seconds, the dialog refusing), after which the dialog is cancelled so
// that nothing hangs.
inline void answerOpenDialog(const QStringList &files, std::function<void(bool)> done = {})
{
    auto finish = std::make_shared<std::function<void(bool)>>(std::move(done));
    auto step = std::make_shared<std::function<void()>>();
    auto polls = std::make_shared<int>(0);
    // The step holds itself only while it waits for the next poll.
    std::weak_ptr<std::function<void()>> weakStep = step;
    *step = [files, finish, polls, weakStep]() {
        auto self = weakStep.lock();
        auto again = [self]() { QTimer::singleShot(10, [self]() { (*self)(); }); };
        auto end = [finish](bool ok) {
            if (*finish)
                (*finish)(ok);
        };
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            // Two minutes of polls: the tests' ceiling for a wait.
            if (++*polls > 12000) {
                qWarning() << "no file dialog appeared";
                end(false);
                return;
            }
            again();
            return;
        }
        const QString dir = files.isEmpty() ? QString() : QFileInfo(files.first()).absolutePath();
        if (files.isEmpty()) {
            dialog->reject();
            end(true);
            return;
        }
        auto *model = dialog->findChild<QFileSystemModel *>();
        auto *list = dialog->findChild<QListView *>(QStringLiteral("listView"));
        if (!model || !list) {
            qWarning() << "file dialog without its list";
            dialog->reject();
            end(false);
            return;
        }
        if (QDir(dialog->directory().absolutePath()) != QDir(dir))
            dialog->setDirectory(dir);

        // Patterns of the filter the dialog shows: "Images (*.png *.jpg)"
        // or bare.
        QString filter = dialog->selectedNameFilter();
        const int open = int(filter.lastIndexOf(QLatin1Char('(')));
        if (open >= 0 && filter.endsWith(QLatin1Char(')')))
            filter = filter.mid(open + 1, filter.size() - open - 2);
        const QStringList patterns = filter.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool typeIt = files.size() == 1
                && !QDir::match(patterns, QFileInfo(files.first()).fileName());

        // The folder is read in the background; wait until every file shows.
        QModelIndexList rows;
        QStringList missing;
        for (const QString &file : files) {
            if (typeIt)
                break;
            const QModelIndex index = model->index(QFileInfo(file).absoluteFilePath());
            if (index.isValid() && list->model() == model)
                rows << index;
            else
                missing << file;
        }
        if (!missing.isEmpty() && ++*polls < 500) {
            again();
            return;
        }
        if (!missing.isEmpty()) {
            qWarning() << "the file dialog does not show" << missing;
            dialog->reject();
            end(false);
            return;
        }

        if (typeIt) {
            // The one file is typed, unquoted.
            auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (edit)
                edit->setText(QFileInfo(files.first()).fileName());
        } else {
            // Clicking in the list moves the focus there, which keeps the
            // dialog from re-reading the names it writes into its text field.
            list->setFocus(Qt::MouseFocusReason);
            // One selection change for all rows, like a drag or Ctrl+A: the
            // dialog rewrites its text field on every change.
            QItemSelection picked;
            for (const QModelIndex &index : std::as_const(rows))
                picked.select(index, index);
            QItemSelectionModel *selection = list->selectionModel();
            selection->setCurrentIndex(rows.last(), QItemSelectionModel::NoUpdate);
            selection->select(picked, QItemSelectionModel::ClearAndSelect
                                              | QItemSelectionModel::Rows);
        }
        QStringList chosen = dialog->selectedFiles();
        QStringList wanted;
        for (const QString &file : files)
            wanted << QFileInfo(file).absoluteFilePath();
        chosen.sort();
        wanted.sort();
        if (chosen != wanted) {
            qWarning() << "the file dialog picked" << chosen << "instead of" << wanted;
            dialog->reject();
            end(false);
            return;
        }
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides accept()
        if (dialog->isVisible()) {
            qWarning() << "the file dialog refused" << files;
            dialog->reject();
            end(false);
            return;
        }
        end(true);
    };
    QTimer::singleShot(0, [step]() { (*step)(); });
}

} // namespace Hostile

#endif // OPENDIALOG_H
