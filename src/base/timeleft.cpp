#include "base/timeleft.h"

#include <cmath>

QString TimeLeft::estimate(int done, int total, qint64 elapsedMs)
{
    if (done < minimumDone || elapsedMs < minimumElapsedMs || done >= total)
        return QString();
    const double left = double(elapsedMs) / done * (total - done) / 1000.0;
    return text(qint64(std::ceil(left)));
}

QString TimeLeft::text(qint64 seconds)
{
    const auto roundTo = [](qint64 value, qint64 step) {
        return (value + step / 2) / step * step;
    };
    // An estimate that says "0" reads as done: the least it says is 5 s.
    if (seconds < 60) {
        const qint64 up = qMax<qint64>(5, (seconds + 4) / 5 * 5);
        if (up < 60)
            return tr("about %1 s left").arg(up);
        seconds = 60;
    }
    // The finer the nearer the end: a minute matters in the last twenty.
    const qint64 minutes = roundTo(seconds, seconds < 1200 ? 60 : 300) / 60;
    if (minutes > 0 && minutes < 60)
        return tr("about %1 min left").arg(minutes);
    const qint64 longer = qMax<qint64>(60, roundTo(seconds, 600) / 60);
    const qint64 hours = longer / 60;
    const qint64 rest = longer % 60;
    if (rest == 0)
        return tr("about %1 h left").arg(hours);
    return tr("about %1 h %2 min left").arg(hours).arg(rest);
}
