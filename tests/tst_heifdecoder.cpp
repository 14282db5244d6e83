#include "decode/heifdecoder.h"

#include "realfixtures.h"

#include <QTest>
#include <QtEndian>

#include <optional>

// HEIF files whose picture is shown cropped by a clean aperture ('clap'):
// the whole coded picture is decoded before the crop, and the limits
// libheif is given must admit it.
class tst_HeifDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanAperture_data();
    void cleanAperture();
};

namespace {

struct Span
{
    qsizetype at = 0;   // the box's first byte
    qsizetype body = 0; // its contents' first byte
    qsizetype end = 0;
};

std::optional<Span> find(const QByteArray &file, qsizetype from, qsizetype to, const char *type)
{
    while (from + 8 <= to) {
        const quint32 size = qFromBigEndian<quint32>(file.constData() + from);
        if (size < 8 || from + size > to)
            return std::nullopt;
        if (file.mid(from + 4, 4) == type)
            return Span{from, from + 8, from + qsizetype(size)};
        from += size;
    }
    return std::nullopt;
}

void grow(QByteArray *file, const Span &box, qsizetype by)
{
    const quint32 size = qFromBigEndian<quint32>(file->constData() + box.at);
    qToBigEndian<quint32>(size + quint32(by), file->data() + box.at);
}

// Adds 'by' to every file offset of a version 0 or 1 iloc box whose
// extents lie in the file (construction method 0).
bool shiftOffsets(QByteArray *file, const Span &iloc, qsizetype by)
{
    auto *b = reinterpret_cast<uchar *>(file->data());
    qsizetype at = iloc.body;
    const int version = b[at];
    at += 4;
    const int offsetSize = b[at] >> 4, lengthSize = b[at] & 15, baseSize = b[at + 1] >> 4;
    const int indexSize = version == 1 ? (b[at + 1] & 15) : 0;
    at += 2;
    if (version > 1 || (offsetSize != 4 && offsetSize != 0) || (baseSize != 4 && baseSize != 0))
        return false;
    const int items = qFromBigEndian<quint16>(b + at);
    at += 2;
    for (int i = 0; i < items; ++i) {
        at += 2; // item_ID
        const int method = version == 1 ? (qFromBigEndian<quint16>(b + at) & 15) : 0;
        at += version == 1 ? 2 : 0;
        at += 2; // data_reference_index
        const qsizetype base = at;
        at += baseSize;
        const int extents = qFromBigEndian<quint16>(b + at);
        at += 2;
        if (method == 0 && baseSize == 4)
            qToBigEndian<quint32>(qFromBigEndian<quint32>(b + base) + quint32(by), b + base);
        for (int x = 0; x < extents; ++x) {
            at += indexSize;
            if (method == 0 && baseSize == 0 && offsetSize == 4)
                qToBigEndian<quint32>(qFromBigEndian<quint32>(b + at) + quint32(by), b + at);
            at += offsetSize + lengthSize;
        }
    }
    return at <= iloc.end;
}

// The file as libheif writes it, with a clean aperture of w x h (centred)
// added to the primary picture's properties.
QByteArray withCleanAperture(QByteArray file, int w, int h)
{
    const std::optional<Span> meta = find(file, 0, file.size(), "meta");
    if (!meta)
        return QByteArray();
    const qsizetype inside = meta->body + 4;
    const std::optional<Span> iprp = find(file, inside, meta->end, "iprp");
    const std::optional<Span> iloc = find(file, inside, meta->end, "iloc");
    if (!iprp || !iloc)
        return QByteArray();
    const std::optional<Span> ipco = find(file, iprp->body, iprp->end, "ipco");
    const std::optional<Span> ipma = find(file, iprp->body, iprp->end, "ipma");
    if (!ipco || !ipma || ipma->at < ipco->end)
        return QByteArray();
    int properties = 0;
    for (qsizetype at = ipco->body; at + 8 <= ipco->end; ++properties)
        at += qFromBigEndian<quint32>(file.constData() + at);
    const auto *b = reinterpret_cast<const uchar *>(file.constData());
    // ipma: version 0, one-byte indexes, the primary picture's entry first.
    if (b[ipma->body] != 0 || (b[ipma->body + 3] & 1))
        return QByteArray();
    const qsizetype count = ipma->body + 4 + 4 + 2;
    QByteArray clap = RealFixtures::be32(40) + "clap";
    for (const int v : {w, 1, h, 1, 0, 1, 0, 1})
        clap += RealFixtures::be32(quint32(v));
    const qsizetype added = clap.size() + 1;
    if (meta->end <= file.indexOf("mdat") && !shiftOffsets(&file, *iloc, added))
        return QByteArray();
    // Later insertions first, so that the earlier places stay where they are.
    file.insert(count + 1 + b[count], char(0x80 | (properties + 1))); // essential
    file[count] = char(file[count] + 1);
    grow(&file, *ipma, 1);
    file.insert(ipco->end, clap);
    grow(&file, *ipco, clap.size());
    grow(&file, *iprp, added);
    grow(&file, *meta, added);
    return file;
}

} // namespace

void tst_HeifDecoder::initTestCase()
{
    if (!heif_have_encoder_for_format(heif_compression_HEVC))
        QSKIP("libheif has no HEVC encoder here");
}

void tst_HeifDecoder::cleanAperture_data()
{
    QTest::addColumn<QSize>("coded");
    QTest::addColumn<QSize>("shown");

    QTest::newRow("a pixel off") << QSize(64, 64) << QSize(63, 63);
    // The crop takes away more than a block on either side.
    QTest::newRow("a third kept") << QSize(512, 384) << QSize(170, 128);
    QTest::newRow("a narrow strip") << QSize(640, 64) << QSize(64, 64);
}

void tst_HeifDecoder::cleanAperture()
{
    QFETCH(QSize, coded);
    QFETCH(QSize, shown);

    QImage picture(coded, QImage::Format_RGB888);
    picture.fill(QColor(40, 120, 200));
    const QByteArray file = withCleanAperture(
            RealFixtures::heif(picture, heif_compression_HEVC), shown.width(), shown.height());
    QVERIFY(!file.isEmpty());
    HeifDecoder decoder(file);
    QVERIFY2(decoder.isValid(), qPrintable(decoder.errorString()));
    QCOMPARE(decoder.size(), shown);
    QString why;
    const QImage image = decoder.read(&why);
    QVERIFY2(!image.isNull(), qPrintable(why));
    QCOMPARE(image.size(), shown);
    const QColor centre = image.pixelColor(shown.width() / 2, shown.height() / 2);
    QVERIFY2(qAbs(centre.red() - 40) < 8 && qAbs(centre.green() - 120) < 8
                     && qAbs(centre.blue() - 200) < 8,
             qPrintable(centre.name()));
}

QTEST_MAIN(tst_HeifDecoder)
#include "tst_heifdecoder.moc"
