#include "ui/framefitter.h"

#include "ui/screenfit.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

FrameFitter::FrameFitter(QWidget *window)
    : QObject(window), window(window)
{
    window->installEventFilter(this);
}

QMargins FrameFitter::frameMargins() const
{
    const QRect frame = window->frameGeometry();
    const QRect client = window->geometry();
    return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                    frame.right() - client.right(), frame.bottom() - client.bottom());
}

void FrameFitter::fit()
{
    if (window->isMaximized() || window->isFullScreen())
        return;
    QScreen *screen = QGuiApplication::screenAt(window->pos());
    const QRect available = (screen ? screen : window->screen())->availableGeometry();
    const QMargins margins = frameMargins();
    const QRect client = ScreenFit::fittedClient(window->geometry(), margins, available);
    window->resize(client.size());
    // A top-level window's position is its frame's.
    window->move(client.topLeft() - QPoint(margins.left(), margins.top()));
}

bool FrameFitter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != window || frameKnown)
        return false;
    const QEvent::Type type = event->type();
    if (type == QEvent::Show) {
        fit();
    } else if (type == QEvent::Move || type == QEvent::Resize) {
        // The window manager's framing moves the window; until then the
        // margins read as none.
        if (!frameMargins().isNull()) {
            frameKnown = true;
            fit();
        }
    }
    return false;
}
