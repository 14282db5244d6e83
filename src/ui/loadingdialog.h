#ifndef LOADINGDIALOG_H
#define LOADINGDIALOG_H

#include <QProgressDialog>

// The window-modal progress dialog shown while the thumbnails of an
// opening come in: no cancel button, shown at once, gone at the end.
class LoadingDialog : public QProgressDialog
{
    Q_OBJECT

public:
    LoadingDialog(int count, QWidget *parent);
};

#endif // LOADINGDIALOG_H
