#include "decode/imageloader.h"
#include "decode/resampler.h"
#include "decode/sourcereader.h"

#include "testsupport.h"

#include <QColorSpace>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

// Smooth scaling: Lanczos-3 after the decoder's exact shrinking, against
// the nearest pixel and against libvips.
class tst_Resampler : public QObject
{
    Q_OBJECT

private slots:
    void exactSize_data();
    void exactSize();
    void stripesStayGrey_data();
    void stripesStayGrey();
    void transparentColourDoesNotBleed();
    void jpegShrinksExactlyFirst_data();
    void jpegShrinksExactlyFirst();
    void closeToLibvips();
    void vectorCodeMatchesPortable_data();
    void vectorCodeMatchesPortable();

private:
    QTemporaryDir tmp;
};

using namespace TestSupport;

namespace {

// One-pixel black and white columns.
QImage stripes(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            row[x] = x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
    }
    return image;
}

// The largest distance of a grey level from mid-grey inside the picture
// (a border of three pixels left out: there the filter reads copies of
// the edge column).
int largestDeviation(const QImage &picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    int largest = 0;
    for (int y = 3; y < image.height() - 3; ++y)
        for (int x = 3; x < image.width() - 3; ++x)
            largest = qMax(largest, qAbs(qGray(image.pixel(x, y)) * 2 - 255) / 2);
    return largest;
}

// Something like a photo: gradients, edges of every slope, thin lines,
// text and grain, with no flat area larger than a few pixels.
QImage photoLike(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, size.width(), size.height());
    sky.setColorAt(0, QColor(30, 80, 160));
    sky.setColorAt(0.5, QColor(230, 190, 120));
    sky.setColorAt(1, QColor(40, 110, 50));
    p.fillRect(image.rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 40; ++i) {
        p.setPen(QPen(QColor::fromHsv((i * 37) % 360, 200, 90 + (i * 53) % 160), 1 + i % 4));
        p.drawEllipse(QPoint((i * 97) % size.width(), (i * 61) % size.height()), 10 + i * 3, 8 + i * 2);
        p.drawLine(0, i * 17, size.width(), size.height() - i * 11);
    }
    QFont font = p.font();
    font.setPixelSize(22);
    p.setFont(font);
    p.setPen(Qt::black);
    for (int i = 0; i < 10; ++i)
        p.drawText(20, 40 + i * 60, QStringLiteral("Lanczos three, line %1").arg(i));
    p.end();
    quint32 seed = 1;
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = int(seed >> 28) - 8;
            row[x] = qRgb(qBound(0, qRed(row[x]) + grain, 255), qBound(0, qGreen(row[x]) + grain, 255),
                          qBound(0, qBlue(row[x]) + grain, 255));
        }
    }
    return image;
}

// CIE76 difference of two sRGB colours.
double deltaE(QRgb a, QRgb b)
{
    const auto lab = [](QRgb c, double *out) {
        const auto linear = [](int v) {
            const double s = v / 255.0;
            return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        const double r = linear(qRed(c)), g = linear(qGreen(c)), bl = linear(qBlue(c));
        const double xyz[3] = {(0.4124 * r + 0.3576 * g + 0.1805 * bl) / 0.95047,
                               0.2126 * r + 0.7152 * g + 0.0722 * bl,
                               (0.0193 * r + 0.1192 * g + 0.9505 * bl) / 1.08883};
        double f[3];
        for (int i = 0; i < 3; ++i)
            f[i] = xyz[i] > 0.008856 ? std::cbrt(xyz[i]) : 7.787 * xyz[i] + 16.0 / 116;
        out[0] = 116 * f[1] - 16;
        out[1] = 500 * (f[0] - f[1]);
        out[2] = 200 * (f[1] - f[2]);
    };
    double x[3], y[3];
    lab(a, x);
    lab(b, y);
    return std::sqrt((x[0] - y[0]) * (x[0] - y[0]) + (x[1] - y[1]) * (x[1] - y[1])
                     + (x[2] - y[2]) * (x[2] - y[2]));
}

double meanDeltaE(const QImage &first, const QImage &second)
{
    const QImage a = first.convertToFormat(QImage::Format_RGB32);
    const QImage b = second.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            sum += deltaE(a.pixel(x, y), b.pixel(x, y));
    return sum / (qint64(a.width()) * a.height());
}

// Noise in every sample, and (with alpha) hard edges between transparent,
// half-transparent and opaque areas, where Lanczos lobes overshoot.
QImage noisy(const QSize &size, QImage::Format format)
{
    QImage image(size, QImage::Format_ARGB32);
    quint32 seed = 7;
    for (int y = 0; y < size.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int alpha = x % 9 < 3 ? 0 : x % 9 < 5 ? 128 : 255;
            row[x] = (seed & 0x00ffffffu) | quint32(alpha) << 24;
        }
    }
    return image.convertToFormat(format);
}

// The largest difference of two pictures of one format, byte by byte.
int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    const qsizetype bytes = qsizetype(a.width()) * a.depth() / 8;
    for (int y = 0; y < a.height(); ++y)
        for (qsizetype i = 0; i < bytes; ++i)
            largest = qMax(largest, qAbs(int(a.constScanLine(y)[i]) - int(b.constScanLine(y)[i])));
    return largest;
}

} // namespace

void tst_Resampler::exactSize_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("format");
    QTest::addRow("shrink") << QSize(301, 203) << QSize(111, 75) << int(QImage::Format_RGB32);
    QTest::addRow("enlarge") << QSize(30, 20) << QSize(97, 61) << int(QImage::Format_RGB32);
    QTest::addRow("to one pixel") << QSize(50, 40) << QSize(1, 1) << int(QImage::Format_RGB32);
    QTest::addRow("from one pixel") << QSize(1, 1) << QSize(9, 7) << int(QImage::Format_RGB32);
    QTest::addRow("one way shrinks, the other grows") << QSize(200, 10) << QSize(20, 100)
                                                      << int(QImage::Format_RGB32);
    QTest::addRow("grey") << QSize(64, 64) << QSize(23, 23) << int(QImage::Format_Grayscale8);
    QTest::addRow("grey 16-bit") << QSize(64, 64) << QSize(23, 23) << int(QImage::Format_Grayscale16);
    QTest::addRow("16-bit alpha") << QSize(64, 64) << QSize(23, 23) << int(QImage::Format_RGBA64);
    QTest::addRow("palette") << QSize(64, 64) << QSize(23, 23) << int(QImage::Format_Indexed8);
}

void tst_Resampler::exactSize()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, format);
    QImage source = pattern(from).convertToFormat(QImage::Format(format));
    source.setColorSpace(QColorSpace::DisplayP3);
    const QImage scaled = Resampler::lanczos3(source, to);
    QCOMPARE(scaled.size(), to);
    QCOMPARE(scaled.colorSpace(), source.colorSpace());
    // Grey stays grey and deep stays deep: the writer keeps what it can.
    QCOMPARE(scaled.isGrayscale(), source.format() == QImage::Format_Grayscale8
                                           || source.format() == QImage::Format_Grayscale16);
    QCOMPARE(scaled.bitPlaneCount() > 32, source.bitPlaneCount() > 32);
    if (source.format() == QImage::Format_Grayscale16)
        QCOMPARE(scaled.format(), QImage::Format_Grayscale16);
    // A flat colour stays exactly that colour, however the weights round.
    QImage flat(from, QImage::Format_RGB32);
    flat.fill(qRgb(200, 100, 7));
    const QImage flatScaled = Resampler::lanczos3(flat, to);
    QCOMPARE(flatScaled.pixel(to.width() / 2, to.height() / 2), qRgb(200, 100, 7));
    QCOMPARE(flatScaled.pixel(0, 0), qRgb(200, 100, 7));
}

void tst_Resampler::stripesStayGrey_data()
{
    QTest::addColumn<int>("scaling");
    QTest::addColumn<bool>("grey");
    QTest::addRow("fast") << int(Scaling::Fast) << false;
    QTest::addRow("smooth") << int(Scaling::Smooth) << true;
}

void tst_Resampler::stripesStayGrey()
{
    QFETCH(int, scaling);
    QFETCH(bool, grey);
    // At 37 % each output pixel covers 2.7 columns: a filter that averages
    // them shows mid-grey (in sRGB values, as the file holds them); the
    // nearest pixel shows black and white bars, moiré.
    // BMP: its reader does not scale while it decodes (Qt's PNG reader
    // would, smoothly), so Fast is the nearest pixel.
    const QString path = tmp.filePath(QStringLiteral("stripes.bmp"));
    QVERIFY(stripes(QSize(1000, 60)).save(path));
    QString why;
    const QImage scaled = ImageLoader::readScaled(
            path, [](const QSize &shown) { return shown * 0.37; }, Qt::IgnoreAspectRatio, &why, {},
            Scaling(scaling));
    QVERIFY2(!scaled.isNull(), qPrintable(why));
    QCOMPARE(scaled.size(), QSize(370, 22));
    const int deviation = largestDeviation(scaled);
    if (grey)
        QVERIFY2(deviation <= 4, qPrintable(QString::number(deviation)));
    else
        QVERIFY2(deviation >= 100, qPrintable(QString::number(deviation)));
}

void tst_Resampler::transparentColourDoesNotBleed()
{
    // Transparent pixels that hold red beside opaque green: filtered
    // premultiplied, no red reaches the green.
    QImage image(40, 40, QImage::Format_ARGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            image.setPixel(x, y, x < 20 ? qRgba(255, 0, 0, 0) : qRgba(0, 255, 0, 255));
    const QImage scaled = Resampler::lanczos3(image, QSize(13, 13)).convertToFormat(QImage::Format_ARGB32);
    for (int x = 0; x < scaled.width(); ++x) {
        const QRgb pixel = scaled.pixel(x, 6);
        if (qAlpha(pixel) > 16)
            QVERIFY2(qRed(pixel) <= 8, qPrintable(QStringLiteral("x %1: %2").arg(x).arg(pixel, 8, 16)));
    }
}

void tst_Resampler::jpegShrinksExactlyFirst_data()
{
    QTest::addColumn<QSize>("stored");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QSize>("expected");
    // 37 %: a half leaves the filter 1.35 times the target.
    QTest::addRow("a half") << QSize(800, 600) << QSize(296, 222) << QSize(400, 300);
    QTest::addRow("a half, odd halves") << QSize(802, 602) << QSize(300, 225) << QSize(401, 301);
    // 15 %: an eighth would leave less than 1.3 times the target.
    QTest::addRow("a quarter") << QSize(800, 600) << QSize(120, 90) << QSize(200, 150);
    QTest::addRow("an eighth") << QSize(800, 600) << QSize(40, 30) << QSize(100, 75);
    // 55 %: 6/8 is the smallest eighth of 1.3 times the target.
    QTest::addRow("three quarters") << QSize(800, 600) << QSize(440, 330) << QSize(600, 450);
    QTest::addRow("too close to shrink") << QSize(800, 600) << QSize(700, 500) << QSize(800, 600);
    // 801 * n / 8 is never whole: the reader would resample, so it does not
    // shrink at all.
    QTest::addRow("odd width") << QSize(801, 600) << QSize(150, 112) << QSize(801, 600);
    QTest::addRow("no room to shrink") << QSize(800, 600) << QSize(800, 300) << QSize(800, 600);
}

void tst_Resampler::jpegShrinksExactlyFirst()
{
    QFETCH(QSize, stored);
    QFETCH(QSize, target);
    QFETCH(QSize, expected);
    const QString path = tmp.filePath(QStringLiteral("shrink-%1x%2.jpg").arg(stored.width()).arg(stored.height()));
    QVERIFY(pattern(stored).save(path, "JPEG"));
    SourceReader reader(path);
    QCOMPARE(reader.smoothScaledSize(target), expected);
    // And the reader does decode to exactly that size.
    reader.setScaledSize(expected);
    QCOMPARE(reader.read(nullptr).size(), expected);
}

void tst_Resampler::closeToLibvips()
{
    const QString vips = QStandardPaths::findExecutable(QStringLiteral("vips"));
    if (vips.isEmpty())
        QSKIP("vips is not installed (libvips-tools)");
    const QString source = tmp.filePath(QStringLiteral("photo.png"));
    const QString theirs = tmp.filePath(QStringLiteral("vips.png"));
    QVERIFY(photoLike(QSize(1000, 700)).save(source));
    QProcess process;
    process.start(vips, {QStringLiteral("resize"), source, theirs, QStringLiteral("0.37"),
                         QStringLiteral("--kernel"), QStringLiteral("lanczos3")});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QImage reference(theirs);
    QCOMPARE(reference.size(), QSize(370, 259));
    const auto at37 = [](const QSize &) { return QSize(370, 259); };
    const QImage smooth = ImageLoader::readScaled(source, at37, Qt::IgnoreAspectRatio, nullptr, {},
                                                  Scaling::Smooth);
    const QImage fast = ImageLoader::readScaled(source, at37, Qt::IgnoreAspectRatio, nullptr, {},
                                                Scaling::Fast);
    const double smoothDelta = meanDeltaE(smooth, reference);
    const double fastDelta = meanDeltaE(fast, reference);
    qInfo("mean delta E to libvips' lanczos3: smooth %.2f, fast %.2f", smoothDelta, fastDelta);
    QVERIFY2(smoothDelta < 2, qPrintable(QString::number(smoothDelta)));
    // The nearest pixel is much further off on a picture with fine detail.
    QVERIFY(fastDelta > 2 * smoothDelta);
}

void tst_Resampler::vectorCodeMatchesPortable_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("format");
    const struct
    {
        const char *name;
        QSize from;
        QSize to;
        QImage::Format format;
    } cases[] = {
        {"37 %, odd sides", QSize(1001, 777), QSize(370, 287), QImage::Format_RGB32},
        {"to a 2048 long edge's share", QSize(1203, 901), QSize(820, 614), QImage::Format_RGB32},
        {"enlarge", QSize(31, 23), QSize(97, 61), QImage::Format_RGB32},
        {"to one pixel", QSize(50, 40), QSize(1, 1), QImage::Format_RGB32},
        {"from one pixel", QSize(1, 1), QSize(9, 7), QImage::Format_RGB32},
        {"one column", QSize(1, 300), QSize(1, 37), QImage::Format_RGB32},
        {"one row", QSize(300, 1), QSize(37, 1), QImage::Format_RGB32},
        // Fewer columns than one vector step takes.
        {"narrower than the taps", QSize(7, 300), QSize(3, 100), QImage::Format_RGB32},
        {"alpha edges", QSize(333, 111), QSize(123, 41), QImage::Format_ARGB32_Premultiplied},
        {"alpha edges, enlarged", QSize(45, 30), QSize(101, 67), QImage::Format_ARGB32_Premultiplied},
        // Grey rows: 1 to 15 samples left after the 16 or 32 a step.
        {"grey, odd width", QSize(517, 211), QSize(191, 78), QImage::Format_Grayscale8},
        {"grey, below a step", QSize(45, 45), QSize(15, 15), QImage::Format_Grayscale8},
    };
    const struct
    {
        const char *name;
        ResamplerRows::Code code;
    } codes[] = {{"SSE2", ResamplerRows::Code::Sse2}, {"AVX2", ResamplerRows::Code::Avx2}};
    for (const auto &code : codes)
        for (const auto &c : cases)
            QTest::addRow("%s, %s", code.name, c.name) << int(code.code) << c.from << c.to << int(c.format);
}

void tst_Resampler::vectorCodeMatchesPortable()
{
    QFETCH(int, code);
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, format);
    if (!ResamplerRows::runs(ResamplerRows::Code(code)))
        QSKIP("this processor does not run that code");
    const QImage source = noisy(from, QImage::Format(format));
    const QImage portable = Resampler::lanczos3(source, to, ResamplerRows::Code::Portable);
    const QImage vector = Resampler::lanczos3(source, to, ResamplerRows::Code(code));
    QCOMPARE(vector.size(), to);
    QCOMPARE(vector.format(), portable.format());
    // Integer sums in any order: within a level (and in fact the same).
    QVERIFY2(largestDifference(vector, portable) <= 1, qPrintable(QString::number(largestDifference(vector, portable))));
    if (vector.format() == QImage::Format_ARGB32_Premultiplied) {
        // Premultiplied: ringing at an alpha edge leaves no colour above
        // its alpha.
        for (int y = 0; y < to.height(); ++y)
            for (int x = 0; x < to.width(); ++x) {
                const QRgb p = reinterpret_cast<const QRgb *>(vector.constScanLine(y))[x];
                QVERIFY(qRed(p) <= qAlpha(p) && qGreen(p) <= qAlpha(p) && qBlue(p) <= qAlpha(p));
            }
    }
}

QTEST_MAIN(tst_Resampler)
#include "tst_resampler.moc"
