#ifndef LOADINGDIALOG_H
#define LOADINGDIALOG_H

#include <QProgressDialog>
#include <QTimer>

// The window-modal progress dialog shown while the thumbnails of an
// opening come in: no cancel button, shown at once, gone at the end.
class LoadingDialog : public QProgressDialog
{
    Q_OBJECT

public:
    LoadingDialog(int count, QWidget *parent);

    // Shows that count rows have loaded, at most every tenth of a second:
    // thousands of updates would each repaint, and the window-modal dialog
    // spins the event loop in setValue(), where more rows load (and the
    // latest count is the one shown).
    void showLoaded(int count);

private:
    QTimer throttle;
    int latest = 0;
    bool due = false;
    bool updating = false;
};

#endif // LOADINGDIALOG_H
