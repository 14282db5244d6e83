#include "ui/screenfit.h"

#include <QtGlobal>

QRect ScreenFit::fitted(const QRect &frame, const QRect &available)
{
    QRect result(frame.topLeft(), frame.size().boundedTo(available.size()));
    // The top-left corner furthest right and down that keeps it all inside.
    const QPoint last = available.bottomRight() + QPoint(1 - result.width(), 1 - result.height());
    result.moveTo(qMax(available.left(), qMin(result.left(), last.x())),
                  qMax(available.top(), qMin(result.top(), last.y())));
    return result;
}

QRect ScreenFit::fittedClient(const QRect &client, const QMargins &margins,
                              const QRect &available)
{
    return fitted(client.marginsAdded(margins), available).marginsRemoved(margins);
}
