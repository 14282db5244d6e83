#ifndef BATCHRUN_H
#define BATCHRUN_H

// One measured run of a batch scenario, in this process: the window, plain
// Qt calls on every core, or a command-line tool. bench_batch starts each
// run as a fresh process of its own and reads back the RESULT line.

#include <QRegularExpression>
#include <QString>

namespace Bench {

struct Result
{
    double seconds = -1;
    double cpuSeconds = -1;   // user + system over the measured part, all threads
    qint64 peakKiB = -1;      // this process, or the largest tool process
    qint64 loadPeakKiB = -1;  // window runs: peak while the thumbnails loaded
    qint64 batchPeakKiB = -1; // window runs: peak during the batch alone
    qint64 loadedRssKiB = -1; // window runs: resident once the thumbnails are in
    double longestGapMs = -1; // window runs only
    int written = 0;
    int failed = 0;
    qint64 bytes = -1; // of the files written
    QString note;

    QString line() const
    {
        return QStringLiteral("RESULT seconds=%1 cpu_s=%2 peak_kib=%3 load_peak_kib=%4 "
                              "batch_peak_kib=%5 loaded_rss_kib=%6 gap_ms=%7 written=%8 failed=%9 bytes=%10 note=%11")
                .arg(seconds, 0, 'f', 3)
                .arg(cpuSeconds, 0, 'f', 3)
                .arg(peakKiB)
                .arg(loadPeakKiB)
                .arg(batchPeakKiB)
                .arg(loadedRssKiB)
                .arg(longestGapMs, 0, 'f', 1)
                .arg(written)
                .arg(failed)
                .arg(bytes)
                .arg(QString(note).replace(QLatin1Char(' '), QLatin1Char('_')));
    }

    static Result parse(const QString &text)
    {
        Result r;
        const QRegularExpression re(QStringLiteral(
                "RESULT seconds=(\\S+) cpu_s=(\\S+) peak_kib=(\\S+) load_peak_kib=(\\S+) "
                "batch_peak_kib=(\\S+) loaded_rss_kib=(\\S+) gap_ms=(\\S+) written=(\\S+) "
                "failed=(\\S+) bytes=(\\S+) note=(\\S*)"));
        const auto m = re.match(text);
        if (!m.hasMatch())
            return r;
        r.seconds = m.captured(1).toDouble();
        r.cpuSeconds = m.captured(2).toDouble();
        r.peakKiB = m.captured(3).toLongLong();
        r.loadPeakKiB = m.captured(4).toLongLong();
        r.batchPeakKiB = m.captured(5).toLongLong();
        r.loadedRssKiB = m.captured(6).toLongLong();
        r.longestGapMs = m.captured(7).toDouble();
        r.written = m.captured(8).toInt();
        r.failed = m.captured(9).toInt();
        r.bytes = m.captured(10).toLongLong();
        r.note = m.captured(11);
        return r;
    }
};

// Runs scenario (window-both, window-format, window-jpg, qt-both, qt-format,
// qt-jpg, or a tool's name: mogrify1, mogrify2, vips2, djpeg2) over the
// files listed one per line in listFile, writing to outDir; prints the
// RESULT line. Returns 0 when the run finished.
int runOne(const QString &scenario, const QString &listFile, const QString &outDir);

} // namespace Bench

#endif // BATCHRUN_H
