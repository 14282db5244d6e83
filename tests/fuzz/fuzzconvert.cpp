// Mutation fuzzing of the conversion path, meant to run under ASan+UBSan
// (scripts/fuzz.sh builds and runs it). Each round takes a file of the
// hostile corpus (tests/hostile/), damages a copy of it at random (flipped
// bits, bytes set to edge values, a cut, a repeated or inserted run) and
// puts it through what a batch does with a source: the list thumbnail, then
// ConversionJob to PNG, JPG, TIFF and WebP, at half size or full size.
//
// Files in SEED-DIR (HEIC, AVIF, JPEG XL, RAW made by scripts/fuzz.sh) join
// the corpus. The decoding runs in helper processes, as in the window
// (PICTAVO_HELPER names the helper): a helper that dies on a mutant, or
// runs past its time, is a finding in a library, not in Pictavo; its mutant
// is kept as OUT/library-<round>.<suffix> and the run goes on, counting
// them apart.
//
// A crash of this process is the sanitizer's report and the mutant left as
// OUT/current.<suffix>; a round that takes longer than the hang limit keeps
// its mutant as OUT/hang-<round>.<suffix> and ends the run with status 1.
//
// usage: pictavo_fuzz SECONDS [SEED] [OUT-DIR] [SEED-DIR]

#include "conversion/conversionjob.h"
#include "fs/sourcefile.h"
#include "hostilecorpus.h"
#include "rawfixture.h"
#include "base/imagelimits.h"
#include "isolation/helperpool.h"
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

// Whether the helper that read the file died on it or ran past its time.
bool helperDied(const QString &reason)
{
    return reason == HelperPool::tr("the decoder stopped on this file")
            || reason.startsWith(HelperPool::tr("reading took longer than %1 s").section(QLatin1Char('%'), 0, 0));
}

// The list thumbnail, read by a helper as the window has it read.
bool thumbnailKilledHelper(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return false;
    HelperCall call;
    call.request.job = Protocol::Job::Thumbnail;
    call.request.name = path;
    call.request.side = ThumbnailLoader::thumbnailSide;
    call.source = file.device()->handle();
    call.baseSeconds = ThumbnailLoader::baseSeconds;
    call.secondsPerMegapixel = ThumbnailLoader::secondsPerMegapixel;
    const HelperOutcome outcome = HelperPool::instance().run(call);
    return outcome.status == HelperOutcome::Crashed || outcome.status == HelperOutcome::TimedOut;
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
    QList<Hostile::Case> corpus = Hostile::corpus();
    if (argc > 4) {
        const QDir seeds(QString::fromLocal8Bit(argv[4]));
        for (const QFileInfo &seedFile : seeds.entryInfoList(QDir::Files)) {
            QFile in(seedFile.filePath());
            if (in.open(QIODevice::ReadOnly))
                corpus.append({seedFile.fileName(), in.readAll(), QSize()});
        }
    }
    // A camera RAW: a DNG as cameras write it (no Debian tool writes one).
    const QString dng = work.filePath(QStringLiteral("seed.dng"));
    if (RawFixture::writeDng(dng, QImage(96, 64, QImage::Format_RGB32), "2024:01:01 10:00:00")) {
        QFile in(dng);
        if (in.open(QIODevice::ReadOnly))
            corpus.append({QStringLiteral("seed.dng"), in.readAll(), QSize()});
    }
    if (!HelperPool::instance().available()) {
        std::fprintf(stderr, "fuzz: no helper at %s\n", qPrintable(HelperPool::helperPath()));
        return 2;
    }
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
    int written = 0, failed = 0, library = 0;
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
        const auto keepForLibrary = [&]() {
            ++library;
            const QString kept = QStringLiteral("%1/library-%2.%3")
                                         .arg(out).arg(round.load()).arg(QFileInfo(path).suffix());
            QFile::copy(path, kept);
            std::printf("fuzz: a helper died in round %d, kept as %s\n", round.load(), qPrintable(kept));
            std::fflush(stdout);
        };
        if (thumbnailKilledHelper(path))
            keepForLibrary();
        const char *format = formats[random.bounded(4)];
        const bool half = random.bounded(2) == 0;
        ConversionJob job(path, half ? ConvertMode::BothConvert : ConvertMode::FormatConvert,
                          QSize(), half ? 50 : 0, QString::fromLatin1(format), Qt::IgnoreAspectRatio);
        const ConversionResult result = job.run(ConversionJob::Target(work.filePath(QStringLiteral("out"))));
        (result.written() ? written : failed)++;
        if (!result.written() && helperDied(result.reason))
            keepForLibrary();
        if (result.written())
            QFile::remove(result.fileName);
        ++round;
    }
    done = true;
    watchdog.join();
    std::printf("fuzz: %d rounds, %d written, %d failed, no crash, no hang in Pictavo; "
                "%d helper deaths (library findings)\n",
                round.load(), written, failed, library);
    return 0;
}
