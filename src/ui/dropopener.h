#ifndef DROPOPENER_H
#define DROPOPENER_H

#include <QObject>
#include <QStringList>

class QWidget;

// Lets files and folders be dropped anywhere on a window: over the lists,
// the fields or the tool bar alike. A drag is taken only when it carries
// local files; other drags (text into a field, say) go on as usual.
class DropOpener : public QObject
{
    Q_OBJECT

public:
    explicit DropOpener(QWidget *window);

    // The local files a drag carries, in order; none for other drags.
    static QStringList localFiles(const class QMimeData *data);

signals:
    void dropped(const QStringList &paths);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *window;
};

#endif // DROPOPENER_H
