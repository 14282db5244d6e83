#ifndef TIMELEFT_H
#define TIMELEFT_H

#include <QCoreApplication>
#include <QString>

// How long a batch still needs, from the rate of the images finished so
// far, in the rounded words a progress bar can show ("about 2 min left").
class TimeLeft
{
    Q_DECLARE_TR_FUNCTIONS(TimeLeft)

public:
    // Images done before an estimate is given, and milliseconds gone: the
    // first images say little about the rate (the decoder is warming up,
    // a small one may come first).
    static constexpr int minimumDone = 3;
    static constexpr qint64 minimumElapsedMs = 2000;

    // The estimate for done of total images after elapsedMs; empty while
    // it is too early to tell, and once all are done.
    static QString estimate(int done, int total, qint64 elapsedMs);

    // Seconds as the estimate says them: under a minute to the next 5 s
    // up, under twenty minutes to the minute, under an hour to 5 min, then
    // to 10 min.
    static QString text(qint64 seconds);
};

#endif // TIMELEFT_H
