// The messages between the window and its helpers: each kind survives its
// encoding, and a stand-in helper that has been taken over (tests/protocol/
// standin.cpp, one hostile play per row) can do no more than fail its own
// image with the window's reason, within a bound of the window's memory,
// and be ended.
#include "base/conversionresult.h"
#include "conversion/conversionjob.h"
#include "conversion/memorybudget.h"
#include "isolation/helperpool.h"
#include "isolation/protocol.h"
#include "isolation/validator.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

Q_DECLARE_METATYPE(Protocol::Message)

namespace {

// The window's memory: resident now and at its peak since the last reset.
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpressionMatch m =
            QRegularExpression(QString::fromLatin1(field) + QStringLiteral(":\\s+(\\d+) kB"))
                    .match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

Protocol::Picture aPicture()
{
    Protocol::Picture p;
    p.width = 321;
    p.height = 123;
    p.format = 5;
    p.bytesPerLine = 1284;
    p.dotsPerMeterX = 2835;
    p.dotsPerMeterY = 3937;
    p.extraBytes = 12;
    return p;
}

} // namespace

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void hostileHelper_data();
    void hostileHelper();
    void fineAnswerIsTaken_data();
    void fineAnswerIsTaken();
    void notesMoveNoDeadline();
    void conversionFailsWithTheWindowsReason();

private:
    HelperOutcome play(const QString &name, Protocol::Job job, int *admits = nullptr,
                       double baseSeconds = 20, double secondsPerMegapixel = 0.1,
                       bool handCache = false);

    QTemporaryDir dir;
    QByteArray realHelper;
    double defaultScale = 1;
};

void tst_Protocol::initTestCase()
{
    QVERIFY(dir.isValid());
    realHelper = qgetenv("PICTAVO_HELPER");
    defaultScale = HelperPool::instance().timeScaleFactor();
}

void tst_Protocol::cleanup()
{
    HelperPool::instance().endAll();
    HelperPool::instance().setTimeScale(defaultScale);
    qputenv("PICTAVO_HELPER", realHelper);
}

void tst_Protocol::roundTrip_data()
{
    QTest::addColumn<Protocol::Message>("message");
    Protocol::Message m;
    m.kind = Protocol::Kind::Hello;
    m.hello.sandboxed = true;
    m.hello.why = QStringLiteral("no Landlock on this kernel");
    QTest::newRow("hello") << m;

    m = Protocol::Message();
    m.kind = Protocol::Kind::Request;
    m.request.job = Protocol::Job::Convert;
    m.request.name = QStringLiteral("/photos/été 2024/IMG_0001.JPG");
    m.request.scaled = true;
    m.request.mode = 2;
    m.request.scaling = 1;
    m.request.format = QStringLiteral("jxl");
    m.request.removeLocation = true;
    m.request.quality = 87;
    m.request.lossless = true;
    m.request.threads = 3;
    m.request.hasSource = true;
    m.request.hasImage = true;
    m.request.image = aPicture();
    QTest::newRow("request") << m;
    m = Protocol::Message();
    m.kind = Protocol::Kind::Request;
    m.request.job = Protocol::Job::Thumbnail;
    m.request.side = 256;
    m.request.uri = QStringLiteral("file:///photos/%C3%A9t%C3%A9%202024/IMG_0001.JPG");
    m.request.mtime = 1700000000;
    m.request.size = 5LL << 30;
    m.request.hasSource = true;
    m.request.hasCached = true;
    m.request.hasFailMark = true;
    QTest::newRow("request: thumbnail with the cache's entries") << m;

    m = Protocol::Message();
    m.kind = Protocol::Kind::Question;
    m.question.what = Protocol::Question::Target;
    m.question.shownWidth = 6000;
    m.question.shownHeight = 4000;
    QTest::newRow("question: target") << m;
    m.question.what = Protocol::Question::Admit;
    m.question.bytes = 5LL << 30;
    m.question.pixels = 24000000;
    QTest::newRow("question: admit") << m;

    m = Protocol::Message();
    m.kind = Protocol::Kind::Reply;
    m.reply.yes = true;
    m.reply.targetWidth = 1920;
    m.reply.targetHeight = 1280;
    QTest::newRow("reply") << m;

    m = Protocol::Message();
    m.kind = Protocol::Kind::Note;
    m.note.step = quint8(ConversionResult::Encode);
    m.note.pixels = 24000000;
    m.note.msPerMegapixel = 500;
    QTest::newRow("note") << m;

    m = Protocol::Message();
    m.kind = Protocol::Kind::Answer;
    m.answer.status = Protocol::Answer::OutOfMemory;
    m.answer.step = quint8(ConversionResult::Decode);
    m.answer.reason = QStringLiteral("damaged data ✗");
    m.answer.warnings = {QStringLiteral("one"), QString(), QStringLiteral("three")};
    m.answer.shownWidth = 128;
    m.answer.shownHeight = 96;
    m.answer.embedded = true;
    m.answer.cached = true;
    m.answer.failedBefore = true;
    m.answer.encodeFailure = QStringLiteral("no writer");
    m.answer.encodeWarnings = {QStringLiteral("profile dropped")};
    m.answer.retire = true;
    m.answer.hasImage = true;
    m.answer.image = aPicture();
    m.answer.hasPreview = true;
    m.answer.preview = aPicture();
    m.answer.bytesLength = 123456789;
    QTest::newRow("answer") << m;
}

// Each kind comes back field for field, and no shorter frame than its own
// decodes.
void tst_Protocol::roundTrip()
{
    QFETCH(Protocol::Message, message);
    const QByteArray frame = Protocol::encode(message);
    QVERIFY(!frame.isEmpty());
    Protocol::Message back;
    QVERIFY(Protocol::decode(frame, &back));
    QCOMPARE(back.kind, message.kind);
    QCOMPARE(Protocol::encode(back), frame);
    QCOMPARE(back.request.name, message.request.name);
    QCOMPARE(back.request.uri, message.request.uri);
    QCOMPARE(back.request.size, message.request.size);
    QCOMPARE(back.request.hasFailMark, message.request.hasFailMark);
    QCOMPARE(back.answer.failedBefore, message.answer.failedBefore);
    QCOMPARE(back.answer.reason, message.answer.reason);
    QCOMPARE(back.answer.warnings, message.answer.warnings);
    QCOMPARE(back.answer.image.dotsPerMeterY, message.answer.image.dotsPerMeterY);
    QCOMPARE(back.hello.why, message.hello.why);
    for (qsizetype length = 0; length < frame.size(); ++length)
        QVERIFY(!Protocol::decode(QByteArrayView(frame).first(length), &back));
}

void tst_Protocol::hostileHelper_data()
{
    QTest::addColumn<QString>("play");
    QTest::addColumn<int>("job");
    QTest::addColumn<bool>("handCache");
    QTest::addColumn<bool>("dies"); // a crash, not nonsense: it said nothing wrong
    const int thumbnail = int(Protocol::Job::Thumbnail);
    const int convert = int(Protocol::Job::Convert);
    for (const char *name :
         {"wrong-version", "answer-before-hello", "truncated-frame", "length-says-more",
          "oversized-frame", "unknown-kind", "reply-from-helper", "second-hello",
          "status-out-of-range", "step-out-of-range", "bool-not-0-or-1", "question-out-of-range",
          "thumbnail-larger-than-asked", "length-plus-extra-wraps", "huge-extra-over-sparse-memfd",
          "memfd-without-write-seal", "not-a-memfd", "memfd-shorter-than-said",
          "descriptor-missing", "too-many-descriptors", "indexed-picture",
          "preview-on-a-thumbnail", "admit-more-pixels-than-any-picture",
          "note-with-huge-pixel-count", "encode-note-on-a-thumbnail", "over-long-reason",
          "too-many-warnings", "bytes-after-the-answer", "cached-not-handed",
          "failed-before-not-handed"})
        QTest::newRow(name) << QString::fromLatin1(name) << thumbnail << false << false;
    // The cache's entries handed over, and said of wrongly.
    for (const char *name : {"cached-without-picture", "failed-before-with-picture"})
        QTest::newRow(name) << QString::fromLatin1(name) << thumbnail << true << false;
    for (const char *name : {"encoded-file-over-bound", "encoded-file-without-write-seal",
                             "preview-larger-than-asked", "picture-larger-than-the-target",
                             "admit-twice", "target-twice"})
        QTest::newRow(name) << QString::fromLatin1(name) << convert << false << false;
    // Dead mid-exchange, whatever it left unread.
    QTest::newRow("dies-with-the-request-unread")
            << "dies-with-the-request-unread" << thumbnail << false << true;
    QTest::newRow("dies-after-asking") << "dies-after-asking" << convert << false << true;
}

HelperOutcome tst_Protocol::play(const QString &name, Protocol::Job job, int *admits,
                                 double baseSeconds, double secondsPerMegapixel, bool handCache)
{
    const QString link = dir.filePath(name);
    if (!QFile::exists(link))
        QFile::link(QStringLiteral(PICTAVO_STANDIN), link);
    qputenv("PICTAVO_HELPER", QFile::encodeName(link));
    HelperCall call;
    call.request.job = job;
    call.request.name = QStringLiteral("photo.jpg");
    call.request.side = 128;
    call.request.scaled = job == Protocol::Job::Convert;
    call.request.format = QStringLiteral("png");
    call.baseSeconds = baseSeconds;
    call.secondsPerMegapixel = secondsPerMegapixel;
    call.target = [](const QSize &) { return QSize(64, 48); };
    call.admit = [admits](qint64) {
        if (admits)
            ++*admits;
        return true;
    };
    // Any regular files stand for the entries: the stand-in reads neither.
    QFile cached(dir.filePath(QStringLiteral("cached.png")));
    QFile failMark(dir.filePath(QStringLiteral("failed.png")));
    if (handCache && cached.open(QIODevice::WriteOnly) && failMark.open(QIODevice::WriteOnly)) {
        call.cached = cached.handle();
        call.failMark = failMark.handle();
    }
    return HelperPool::instance().run(call);
}

// For every hostile answer: the image fails with the window's reason (a
// crash for a helper that only died), the helper is ended, and the window
// keeps its memory and its descriptors.
void tst_Protocol::hostileHelper()
{
    QFETCH(QString, play);
    QFETCH(int, job);
    QFETCH(bool, handCache);
    QFETCH(bool, dies);
    const int descriptors = openDescriptors();
    const qint64 resident = statusKiB("VmRSS");
    resetPeak();
    int admits = 0;
    const HelperOutcome outcome = this->play(play, Protocol::Job(job), &admits, 20, 0.1, handCache);
    if (dies) {
        QCOMPARE(outcome.status, HelperOutcome::Crashed);
        QCOMPARE(outcome.reason, QStringLiteral("the decoder stopped on this file"));
    } else {
        QCOMPARE(outcome.status, HelperOutcome::Nonsense);
        QCOMPARE(outcome.reason, Protocol::nonsense());
        QCOMPARE(outcome.reason, QStringLiteral("the reader answered nonsense"));
    }
    QVERIFY(outcome.image.isNull() && outcome.preview.isNull() && outcome.bytes.isEmpty());
    QVERIFY(admits <= 1);
    // Ended, not kept for the next request.
    QVERIFY(HelperPool::instance().processIds().isEmpty());
    QCOMPARE(openDescriptors(), descriptors);
    const qint64 peak = statusKiB("VmHWM");
    QVERIFY2(peak - resident < 64 * 1024, qPrintable(QStringLiteral("%1 KiB over").arg(peak - resident)));
}

void tst_Protocol::fineAnswerIsTaken_data()
{
    QTest::addColumn<QString>("play");
    QTest::addColumn<int>("job");
    QTest::addColumn<QSize>("image");
    QTest::addColumn<QSize>("preview");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<bool>("handCache");
    QTest::newRow("thumbnail") << "fine-thumbnail" << int(Protocol::Job::Thumbnail)
                               << QSize(100, 50) << QSize() << qint64(0) << false;
    QTest::newRow("thumbnail from the cache")
            << "fine-cached-thumbnail" << int(Protocol::Job::Thumbnail) << QSize(128, 64) << QSize()
            << qint64(0) << true;
    // At the bounds: the target the window gave, the preview's side, 32
    // bytes a pixel.
    QTest::newRow("conversion") << "fine-conversion" << int(Protocol::Job::Convert)
                                << QSize(64, 48) << QSize(128, 96) << qint64(64 * 48 * 32)
                                << false;
}

// The stand-in's answers are understood when they keep to the bounds: the
// hostile rows fail for what they break, not for the stand-in's layout.
void tst_Protocol::fineAnswerIsTaken()
{
    QFETCH(QString, play);
    QFETCH(int, job);
    QFETCH(QSize, image);
    QFETCH(QSize, preview);
    QFETCH(qint64, bytes);
    QFETCH(bool, handCache);
    int admits = 0;
    const HelperOutcome outcome = this->play(play, Protocol::Job(job), &admits, 20, 0.1, handCache);
    QVERIFY2(outcome.done(), qPrintable(outcome.reason));
    QCOMPARE(outcome.values.cached, handCache);
    QCOMPARE(outcome.image.size(), image);
    QCOMPARE(outcome.preview.isNull() ? QSize() : outcome.preview.size(), preview);
    QCOMPARE(outcome.bytes.size(), bytes);
    QCOMPARE(admits, job == int(Protocol::Job::Convert) ? 1 : 0);
    QCOMPARE(HelperPool::instance().processIds().size(), 1);
}

// Notes that each name the largest picture neither restart nor stretch
// the step's time: it ends at the allowance for one picture at the limit.
void tst_Protocol::notesMoveNoDeadline()
{
    HelperPool::instance().setTimeScale(1);
    const HelperOutcome outcome = play(QStringLiteral("notes-then-silence"),
                                       Protocol::Job::Thumbnail, nullptr, 0.2, 0.001);
    QCOMPARE(outcome.status, HelperOutcome::TimedOut);
    const double most = 0.2 + 0.001 * double(Validator::timedPixels(qint64(1) << 32)) / 1e6;
    QVERIFY2(outcome.seconds <= int(std::ceil(most)), qPrintable(QString::number(outcome.seconds)));
    QVERIFY(HelperPool::instance().processIds().isEmpty());
}

// Through a conversion: the memory is taken once, given back whole, and
// the failure is the window's own words.
void tst_Protocol::conversionFailsWithTheWindowsReason()
{
    const QString link = dir.filePath(QStringLiteral("admit-twice"));
    if (!QFile::exists(link))
        QFile::link(QStringLiteral(PICTAVO_STANDIN), link);
    qputenv("PICTAVO_HELPER", QFile::encodeName(link));
    const QString source = TestSupport::writeImage(dir.filePath(QStringLiteral("source.png")),
                                                   QSize(64, 48));
    MemoryBudget budget(1LL << 30);
    ConversionJob job(source, ConvertMode::BothConvert, QSize(32, 24), 0, QStringLiteral("png"),
                      Qt::IgnoreAspectRatio);
    int asked = 0;
    QVERIFY(!job.read([&](qint64 bytes) {
        ++asked;
        const qint64 taken = budget.acquire(bytes);
        job.setReservedBytes(qMax<qint64>(taken, 0));
        return taken >= 0;
    }));
    QCOMPARE(asked, 1);
    QCOMPARE(job.result().reason, Protocol::nonsense());
    QCOMPARE(job.result().step, ConversionResult::Decode);
    budget.release(job.reservedBytes());
    QCOMPARE(budget.inUse(), 0);
}

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
