#ifndef SCREENFIT_H
#define SCREENFIT_H

#include <QMargins>
#include <QRect>

// Where a window goes so that all of it can be reached.
class ScreenFit
{
public:
    // frame shrunk to fit available, then moved as little as needed to lie
    // inside it.
    static QRect fitted(const QRect &frame, const QRect &available);

    // The same for a window's client area, whose frame (title bar and
    // borders, as the window manager draws them) adds margins around it:
    // the frame is what must fit. Returns the client area's new geometry.
    static QRect fittedClient(const QRect &client, const QMargins &margins,
                              const QRect &available);
};

#endif // SCREENFIT_H
