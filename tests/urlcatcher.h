#ifndef URLCATCHER_H
#define URLCATCHER_H

#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QUrl>

// Stands in for the desktop's URL opener in tests: installed with
// QDesktopServices::setUrlHandler(scheme, &catcher, "open"), it records what
// the program asked to open (and whether a local path was a folder at that
// moment) instead of launching a browser or a file manager.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
    QList<bool> existed;

public slots:
    void open(const QUrl &url)
    {
        urls << url;
        existed << QFileInfo(url.toLocalFile()).isDir();
    }
};

#endif
