#ifndef CONVERTCHORDS_H
#define CONVERTCHORDS_H

#include <QList>
#include <QObject>

class QAction;
class QKeyEvent;
class QWidget;

// Keeps a window's two-stroke shortcuts (Ctrl+C, then a second key) working
// wherever the focus is. A text or number field takes Ctrl+C as Copy and so
// would swallow the first stroke. Here a field keeps Copy only when it has
// a selection, which then is copied; and the second stroke after that copy
// still runs its command, so Ctrl+C, Ctrl+S converts from any field. With
// no selection there is nothing to copy and the stroke goes to the window's
// shortcuts.
class ConvertChords : public QObject
{
    Q_OBJECT

public:
    // chords: actions whose shortcut is two strokes, the first one shared.
    ConvertChords(QWidget *window, const QList<QAction *> &chords);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QAction *secondStroke(const QKeyEvent *key) const;

    QWidget *window;
    QList<QAction *> chords;
    // The first stroke went to a field as Copy; the next key may finish it.
    bool copiedFirst = false;
};

#endif // CONVERTCHORDS_H
