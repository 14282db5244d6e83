// Mutation fuzzing of the conversion path, meant to run under ASan+UBSan
// (scripts/fuzz.sh builds and runs it). Each round takes a file of the
// hostile corpus (tests/hostile/), damages a copy of it at random (flipped
// bits, bytes set to edge values, a cut, a repeated or inserted run) and
// puts it through what a batch does with a source: the list thumbnail, then
// ConversionJob to PNG, JPG, TIFF and WebP, at half size or full size.
//
// A crash is the sanitizer's report and the mutant left as
// OUT/current.<suffix>; a round that takes longer than the hang limit keeps
// its mutant as OUT/hang-<round>.<suffix> and ends the run with status 1.
//
// usage: pictavo_fuzz SECONDS [SEED] [OUT-DIR]

#include "conversion/conversionjob.h"
#include "hostilecorpus.h"
#include "base/imagelimits.h"
#include "thumbnail/thumbnailloader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

constexpr int hangSeconds = 30;

QByteArray mutated(QByteArray bytes, QRandomGenerator &random)
{
    if (bytes.isEmpty())
        return bytes;
    const int edits = 1 + int(random.bounded(8));
    for (int i = 0; i < edits && !bytes.isEmpty(); ++i) {
        const qsizetype at = qsizetype(random.bounded(quint64(bytes.size())));
        switch (random.bounded(6)) {
        case 0:
            bytes[at] = char(bytes[at] ^ (1 << random.bounded(8)));
            break;
        case 1: {
            static const char edges[] = {'\x00', '\x01', '\x7f', '\x80', '\xfe', '\xff'};
            bytes[at] = edges[random.bounded(int(sizeof edges))];
            break;
        }
        case 2:
            bytes.truncate(at);
            break;
        case 3: { // a run repeated, as a doubled segment or chunk would be
            const qsizetype length = qMin<qsizetype>(bytes.size() - at, 1 + random.bounded(4096));
            bytes.insert(at, bytes.mid(at, length));
            break;
        }
        case 4: {
            QByteArray noise(1 + random.bounded(64), Qt::Uninitialized);
            for (char &c : noise)
                c = char(random.bounded(256));
            bytes.insert(at, noise);
            break;
        }
        default: // a big-endian length or size made huge
            for (qsizetype j = at; j < qMin(at + 4, bytes.size()); ++j)
                bytes[j] = '\xff';
            break;
        }
    }
    return bytes;
}

bool save(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED] [OUT-DIR]\n", argv[0]);
        return 2;
    }
    const int seconds = QByteArray(argv[1]).toInt();
    const quint32 seed = argc > 2 ? QByteArray(argv[2]).toUInt() : QRandomGenerator::global()->generate();
    const QString out = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QDir::currentPath();
    QDir().mkpath(out);
    ImageLimits::configureProcess();
    // The libraries' complaints about damaged files are expected by the
    // thousand; only the sanitizers and the summary matter.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "fatal: %s\n", qPrintable(text));
            std::abort();
        }
    });

    QTemporaryDir work;
    const QList<Hostile::Case> corpus = Hostile::corpus();
    std::printf("fuzz: seed %u, %lld corpus files, %d s\n", seed, qlonglong(corpus.size()), seconds);
    std::fflush(stdout);
    QRandomGenerator random(seed);

    // The watchdog: a round that does not end in time is a hang.
    std::atomic<int> round{0};
    std::atomic<bool> done{false};
    QString current; // under currentLock: the watchdog reads it
    std::mutex currentLock;
    std::thread watchdog([&]() {
        int seen = -1;
        auto since = std::chrono::steady_clock::now();
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const int now = round.load();
            if (now != seen) {
                seen = now;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(hangSeconds)) {
                const std::lock_guard<std::mutex> lock(currentLock);
                if (!current.isEmpty()) {
                    const QString kept = QStringLiteral("%1/hang-%2.%3")
                                                 .arg(out).arg(now).arg(QFileInfo(current).suffix());
                    QFile::copy(current, kept);
                    std::fprintf(stderr, "fuzz: hang in round %d, kept as %s\n", now, qPrintable(kept));
                }
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
    });

    static const char *formats[] = {"png", "jpg", "tiff", "webp"};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int written = 0, failed = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const Hostile::Case &original = corpus[int(random.bounded(quint32(corpus.size())))];
        const QString path =
                QStringLiteral("%1/current.%2").arg(out, QFileInfo(original.fileName).suffix());
        {
            const std::lock_guard<std::mutex> lock(currentLock);
            current = path;
        }
        if (!save(path, mutated(original.bytes, random)))
            break;
        ThumbnailLoader::fromFile(path);
        const char *format = formats[random.bounded(4)];
        const bool half = random.bounded(2) == 0;
        ConversionJob job(path, half ? ConvertMode::BothConvert : ConvertMode::FormatConvert,
                          QSize(), half ? 50 : 0, QString::fromLatin1(format), Qt::IgnoreAspectRatio);
        const ConversionResult result = job.run(ConversionJob::Target(work.filePath(QStringLiteral("out"))));
        (result.written() ? written : failed)++;
        if (result.written())
            QFile::remove(result.fileName);
        ++round;
    }
    done = true;
    watchdog.join();
    std::printf("fuzz: %d rounds, %d written, %d failed, no crash, no hang\n", round.load(), written,
                failed);
    return 0;
}
