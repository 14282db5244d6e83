#ifndef FILEDIALOGTUNER_H
#define FILEDIALOGTUNER_H

#include <QObject>

class QFileDialog;
class QWidget;

// Qt's own file dialog (the one drawn with widgets, used where no desktop
// dialog is at hand) does per-file work in single events that a folder of
// thousands of photos turns into stalls of the window:
// - while it lists the folder, it asks the MIME database for every file's
//   type (by name, and by content where the name is not enough): most of
//   the 50-70 ms each batch of files took at 3000;
// - after Ctrl+A, its detailed view measures every selected row (name and
//   date laid out) to repaint the selection: 50-100 ms at 3000;
// - the names selected are written into the name field, whose change makes
//   the dialog look every name up again, to select what is selected.
// The tuner gives such a dialog, before it is first shown, an icon provider
// that types files once per suffix, tells its detailed view that its rows
// are all one height, and leaves the look-up out where the field only
// echoes the selection. What the dialog shows and returns is unchanged.
class FileDialogTuner : public QObject
{
    Q_OBJECT

public:
    // Tunes the file dialogs window opens as its children.
    explicit FileDialogTuner(QWidget *window);

    // Tunes one dialog; false where its wiring is not the one known here
    // (another Qt), whose name field is then left as it is.
    static bool tune(QFileDialog *dialog);

    // The Open Images dialog's filters: the first is the one it starts
    // with; the others show the rest of what opens (a phone's HEIC, a
    // camera's RAW) and any file.
    static QString openFilters();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

#endif // FILEDIALOGTUNER_H
