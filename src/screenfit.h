#ifndef SCREENFIT_H
#define SCREENFIT_H

#include <QRect>

// Where a window goes so that all of it can be reached.
class ScreenFit
{
public:
    // frame shrunk to fit available, then moved as little as needed to lie
    // inside it.
    static QRect fitted(const QRect &frame, const QRect &available);
};

#endif // SCREENFIT_H
