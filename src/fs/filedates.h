#ifndef FILEDATES_H
#define FILEDATES_H

#include <QString>

// A file's modification and access times, to be given to another file: a
// converted photo keeps its original's dates, so that whatever sorts by
// date shows the copies in the order the photos were taken.
class FileDates
{
public:
    // The dates of the file at path (a link's target's); invalid when it
    // cannot be read.
    static FileDates of(const QString &path);

    bool isValid() const { return valid; }
    qint64 modifiedSeconds() const { return modified.seconds; }

    // Gives the dates to the file at path, never through a link at that
    // name. Empty when the file has them; else why not, in the user's
    // words: the system's refusal, or the date the volume kept instead
    // (a FAT card holds nothing before 1980).
    QString applyTo(const QString &path) const;

private:
    struct Time
    {
        qint64 seconds = 0;
        long nanoseconds = 0;
    };
    Time modified;
    Time accessed;
    bool valid = false;
};

#endif // FILEDATES_H
