#include "base/pngchunks.h"
#include "encode/pngwriter.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <png.h>
#include <zlib.h>

#include <csetjmp>

// The writer against Qt's own PNG writer on the same picture: the same
// pixels read back by Qt and by libpng, every chunk but the pixels' the
// same bytes, and the pixel data before compression the same bytes too
// (the rows filtered as libpng filters them).
class tst_PngWriter : public QObject
{
    Q_OBJECT

private slots:
    void asQtWrites_data();
    void asQtWrites();
    void keywordLibpngRefuses();
};

namespace {

// A picture with smooth parts, edges and noise, so that every filter
// type wins some rows; 16-bit samples take values no 8-bit one stands for.
QImage picture(QImage::Format format, int width, int height)
{
    QImage image(width, height, QImage::Format_RGBA64);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool noisy = (y / 8) % 3 == 2;
            const quint16 n = noisy ? quint16(random.bounded(4096)) : 0;
            const quint16 alpha = x % 7 == 0 ? 0 : x % 5 == 0 ? 0x8123 : 0xffff;
            image.setPixelColor(x, y, QColor::fromRgba64(quint16(x * 1031 + n), quint16(y * 977 + 3),
                                                          quint16((x ^ y) * 257 + n), alpha));
        }
    }
    return image.convertToFormat(format);
}

QImage indexed(bool grey, bool alpha)
{
    QImage image(37, 11, QImage::Format_Indexed8);
    QList<QRgb> table;
    for (int i = 0; i < (grey ? 256 : 40); ++i)
        table << (grey ? qRgb(i, i, i) : qRgba(i * 6, 255 - i * 5, i * 3, alpha && i % 3 ? i * 6 : 255));
    image.setColorTable(table);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, uint((x * y + x) % table.size()));
    return image;
}

QImage mono(QImage::Format format)
{
    QImage image(29, 9, format);
    // Qt's writer stores the bits past the width as memory holds them,
    // this one clears them: cleared here, the two files are alike.
    image.fill(0);
    image.setColorTable({qRgb(255, 255, 255), qRgb(20, 40, 60)});
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, uint((x + y) % 3 == 0));
    return image;
}

QByteArray qtWrites(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    return writer.write(image) ? bytes : QByteArray();
}

struct Parts
{
    QList<QByteArray> chunks; // whole, but the IDATs: one "IDAT" for them all
    QByteArray pixels;        // the IDATs' data, inflated
};

Parts partsOf(const QByteArray &png)
{
    Parts parts;
    QByteArray deflated;
    PngChunks walk{QByteArrayView(png)};
    PngChunks::Chunk chunk;
    while (walk.next(&chunk)) {
        if (chunk.type == PngChunks::tag("IDAT")) {
            deflated += png.mid(chunk.dataAt(), chunk.length);
            if (parts.chunks.isEmpty() || parts.chunks.last() != "IDAT")
                parts.chunks << "IDAT";
        } else {
            parts.chunks << png.mid(chunk.at, chunk.end() - chunk.at);
        }
    }
    z_stream z{};
    inflateInit(&z);
    z.next_in = reinterpret_cast<Bytef *>(deflated.data());
    z.avail_in = uInt(deflated.size());
    char buffer[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        parts.pixels.append(buffer, qsizetype(sizeof buffer - z.avail_out));
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        parts.pixels = "broken stream";
    return parts;
}

// The samples as libpng reads them, with no transformation: bit depth,
// colour type, and each row.
QByteArray libpngReads(const QByteArray &png)
{
    // The simplified API would convert; the rows are read plainly instead.
    png_structp read = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(read);
    QBuffer source;
    source.setData(png);
    source.open(QIODevice::ReadOnly);
    QByteArray samples;
    if (setjmp(png_jmpbuf(read))) {
        png_destroy_read_struct(&read, &info, nullptr);
        return "libpng failed";
    }
    png_set_read_fn(read, &source, [](png_structp p, png_bytep data, size_t length) {
        if (static_cast<QBuffer *>(png_get_io_ptr(p))->read(reinterpret_cast<char *>(data),
                                                             qint64(length)) != qint64(length))
            png_error(p, "short");
    });
    png_read_png(read, info, PNG_TRANSFORM_IDENTITY, nullptr);
    const png_uint_32 height = png_get_image_height(read, info);
    const size_t rowBytes = png_get_rowbytes(read, info);
    samples += QByteArray::number(png_get_bit_depth(read, info)) + " "
            + QByteArray::number(png_get_color_type(read, info)) + ":";
    png_bytepp rows = png_get_rows(read, info);
    // libpng leaves the bits past the width of a 1-bit row as its
    // buffer held them: they say nothing.
    const int spare = int(rowBytes * 8 - png_get_image_width(read, info) * png_get_bit_depth(read, info)
                          * png_get_channels(read, info));
    for (png_uint_32 y = 0; y < height; ++y) {
        if (spare > 0 && spare < 8)
            rows[y][rowBytes - 1] &= png_byte(0xff << spare);
        samples.append(reinterpret_cast<const char *>(rows[y]), qsizetype(rowBytes));
    }
    png_destroy_read_struct(&read, &info, nullptr);
    return samples;
}

} // namespace

void tst_PngWriter::asQtWrites_data()
{
    QTest::addColumn<QImage>("image");

    QTest::newRow("RGB32, sRGB profile") << [] {
        QImage image = picture(QImage::Format_RGB32, 61, 40);
        image.setColorSpace(QColorSpace::SRgb);
        return image;
    }();
    QTest::newRow("ARGB32, Display P3, texts") << [] {
        QImage image = picture(QImage::Format_ARGB32, 33, 30);
        image.setColorSpace(QColorSpace::DisplayP3);
        image.setText("Title", "short");
        image.setText("Comment", QString(300, QChar('w')));
        image.setText("Author", QStringLiteral("Zoë Łukasiewicz"));
        image.setText("Description", QStringLiteral("Ελληνικά ") + QString(60, QChar(0x3b1)));
        return image;
    }();
    QTest::newRow("ARGB32 premultiplied") << picture(QImage::Format_ARGB32_Premultiplied, 20, 20);
    QTest::newRow("RGB888, one pixel wide") << picture(QImage::Format_RGB888, 1, 17);
    QTest::newRow("BGR888, one row") << picture(QImage::Format_BGR888, 45, 1);
    QTest::newRow("RGBX8888") << picture(QImage::Format_RGBX8888, 19, 12);
    QTest::newRow("RGBA8888") << picture(QImage::Format_RGBA8888, 19, 12);
    QTest::newRow("RGB16") << picture(QImage::Format_RGB16, 23, 9);
    QTest::newRow("RGBA64, 16-bit alpha") << picture(QImage::Format_RGBA64, 31, 26);
    QTest::newRow("RGBX64, 16-bit") << picture(QImage::Format_RGBX64, 31, 26);
    QTest::newRow("RGBA64 premultiplied") << picture(QImage::Format_RGBA64_Premultiplied, 40, 18);
    QTest::newRow("Grayscale8") << picture(QImage::Format_Grayscale8, 50, 21);
    QTest::newRow("Grayscale16") << picture(QImage::Format_Grayscale16, 50, 21);
    QTest::newRow("palette") << indexed(false, false);
    QTest::newRow("palette with alpha") << indexed(false, true);
    QTest::newRow("grey palette") << indexed(true, false);
    QTest::newRow("1-bit") << mono(QImage::Format_Mono);
    QTest::newRow("1-bit, least significant bit first") << mono(QImage::Format_MonoLSB);
    QTest::newRow("resolution and offset") << [] {
        QImage image = picture(QImage::Format_RGB32, 8, 8);
        image.setDotsPerMeterX(11811);
        image.setDotsPerMeterY(5905);
        image.setOffset(QPoint(3, 4));
        return image;
    }();
}

void tst_PngWriter::asQtWrites()
{
    QFETCH(QImage, image);
    const QByteArray theirs = qtWrites(image);
    QVERIFY(!theirs.isEmpty());
    QString why;
    const QByteArray ours = PngWriter::write(image, &why);
    QVERIFY2(!ours.isEmpty(), qPrintable(why));

    const QImage ourImage = QImage::fromData(ours, "png");
    const QImage theirImage = QImage::fromData(theirs, "png");
    QVERIFY(!ourImage.isNull());
    QCOMPARE(ourImage.format(), theirImage.format());
    QCOMPARE(ourImage, theirImage);
    QCOMPARE(ourImage.colorSpace(), theirImage.colorSpace());
    QCOMPARE(ourImage.textKeys(), theirImage.textKeys());
    for (const QString &key : ourImage.textKeys())
        QCOMPARE(ourImage.text(key), theirImage.text(key));
    QCOMPARE(libpngReads(ours), libpngReads(theirs));

    const Parts ourParts = partsOf(ours);
    const Parts theirParts = partsOf(theirs);
    QCOMPARE(ourParts.chunks, theirParts.chunks);
    QCOMPARE(ourParts.pixels, theirParts.pixels);
}

void tst_PngWriter::keywordLibpngRefuses()
{
    // Nothing of the keyword is left once libpng has taken out what it
    // does not print: Qt's writer fails the file, and so does this one.
    QImage image = picture(QImage::Format_RGB32, 4, 4);
    image.setText(QStringLiteral("\x01\x02"), "text");
    QVERIFY(qtWrites(image).isEmpty());
    QString why;
    QVERIFY(PngWriter::write(image, &why).isEmpty());
    QVERIFY2(why.contains("keyword"), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_PngWriter)
#include "tst_pngwriter.moc"
