#include "ui/dropopener.h"

#include <QApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

DropOpener::DropOpener(QWidget *window)
    : QObject(window), window(window)
{
    // Drags go to the innermost widget that takes drops; with the window
    // taking them, every spot of it has one. Filtering at the application
    // catches them also where a child (a field) would take them itself.
    window->setAcceptDrops(true);
    qApp->installEventFilter(this);
}

QStringList DropOpener::localFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    const QList<QUrl> urls = data->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            files << url.toLocalFile();
    }
    return files;
}

bool DropOpener::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || widget->window() != window)
        return false;
    auto *drop = static_cast<QDropEvent *>(event);
    const QStringList files = localFiles(drop->mimeData());
    if (files.isEmpty())
        return false;
    // Copy, whatever the source proposes: a file manager told of a move
    // would delete the originals.
    drop->setDropAction(Qt::CopyAction);
    drop->accept();
    if (type == QEvent::Drop)
        emit dropped(files);
    return true;
}
