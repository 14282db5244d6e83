#ifndef FRAMEFITTER_H
#define FRAMEFITTER_H

#include <QMargins>
#include <QObject>

class QWidget;

// Keeps a restored window, frame and all, on its screen. A geometry stored
// on a larger screen would put the title bar or the status bar out of
// reach. On X11 the frame's size is known only once the window manager has
// framed the mapped window, so the window is fitted when it is shown, and
// again when its frame first becomes known; after that the user places it.
class FrameFitter : public QObject
{
    Q_OBJECT

public:
    explicit FrameFitter(QWidget *window);

    // Fits the window with the frame as far as it is known now.
    void fit();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QMargins frameMargins() const;

    QWidget *window;
    bool frameKnown = false;
};

#endif // FRAMEFITTER_H
