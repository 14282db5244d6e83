#include "base/pngchunks.h"

#include <QBuffer>
#include <QTest>
#include <QtEndian>

// The chunk list as the walker gives it, from bytes or from a device: each
// chunk's type, "(cut)" after one the file ends inside.
class tst_PngChunks : public QObject
{
    Q_OBJECT

private slots:
    void walk_data();
    void walk();
    void madeChunkCarriesItsChecksum();
};

namespace {

const QByteArray signature("\x89PNG\r\n\x1a\n", 8);

QByteArray wellFormed()
{
    return signature + PngChunks::make("IHDR", QByteArray(13, '\1'))
            + PngChunks::make("IDAT", "pixels") + PngChunks::make("IEND", {});
}

QStringList listed(PngChunks &&chunks)
{
    QStringList types;
    PngChunks::Chunk chunk;
    while (chunks.next(&chunk)) {
        QByteArray type(4, Qt::Uninitialized);
        qToBigEndian(chunk.type, type.data());
        types << QString::fromLatin1(type) + (chunk.whole ? "" : " (cut)");
    }
    return types;
}

} // namespace

void tst_PngChunks::walk_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("types");

    const QByteArray png = wellFormed();
    const QStringList all{"IHDR", "IDAT", "IEND"};
    QTest::newRow("well formed") << png << all;
    QTest::newRow("nothing after the end") << png + PngChunks::make("tEXt", "late") << all;
    QByteArray badChecksum = png;
    badChecksum[8 + 25 + 8 + 6] = 'x'; // the IDAT's checksum
    QTest::newRow("checksum not checked") << badChecksum << all;
    QTest::newRow("cut inside a chunk") << png.left(8 + 25 + 10) << QStringList{"IHDR", "IDAT (cut)"};
    QTest::newRow("cut inside a chunk's head") << png.left(8 + 25 + 5) << QStringList{"IHDR"};
    QByteArray hugeLength = png;
    hugeLength.replace(8 + 25, 4, "\x80\0\0\0", 4);
    QTest::newRow("length of 2^31") << hugeLength << QStringList{"IHDR"};
    QTest::newRow("no signature") << png.mid(1) << QStringList();
    QTest::newRow("signature only") << signature << QStringList();
}

void tst_PngChunks::walk()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, types);
    QCOMPARE(listed(PngChunks(file)), types);
    QBuffer device(&file);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QCOMPARE(listed(PngChunks(&device)), types);
}

void tst_PngChunks::madeChunkCarriesItsChecksum()
{
    // The end chunk every PNG closes with, byte for byte.
    QCOMPARE(PngChunks::make("IEND", {}), QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12));
}

QTEST_APPLESS_MAIN(tst_PngChunks)
#include "tst_pngchunks.moc"
