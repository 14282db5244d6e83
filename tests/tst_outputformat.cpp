#include "encode/outputformat.h"
#include "encode/imageencoder.h"
#include "metadata/photometadata.h"
#include "ui_mainwindow.h"

#include <QColorSpace>
#include <QImageReader>
#include <QMainWindow>
#include <QTest>

// The format table against the form and against the files the writers
// make: what a row says a format holds, its files hold.
class tst_OutputFormat : public QObject
{
    Q_OBJECT

private slots:
    void offeredAreTheFormatTabsChoices();
    void filesHoldWhatTheRowSays_data();
    void filesHoldWhatTheRowSays();
};

void tst_OutputFormat::offeredAreTheFormatTabsChoices()
{
    QMainWindow host;
    Ui_MainWindow form;
    form.setupUi(&host);
    QStringList items;
    for (int i = 1; i < form.comboBoxFormat->count(); ++i)
        items << form.comboBoxFormat->itemText(i);
    QStringList names;
    for (const OutputFormat &format : OutputFormat::offered())
        names << format.name;
    QCOMPARE(names, items);
}

void tst_OutputFormat::filesHoldWhatTheRowSays_data()
{
    QTest::addColumn<QString>("name");
    for (const OutputFormat &format : OutputFormat::all())
        QTest::newRow(qPrintable(format.name)) << format.name;
}

void tst_OutputFormat::filesHoldWhatTheRowSays()
{
    QFETCH(QString, name);
    const OutputFormat format = OutputFormat::of(name);
    if (!ImageEncoder::canWrite(name) || !QImageReader::supportedImageFormats().contains(name.toLower().toLatin1()))
        QSKIP("no writer or no reader for it here");
    // Deep colour no 8-bit value stands for, a Display P3 profile, and
    // alpha that is off, half and on.
    QImage picture(16, 16, QImage::Format_RGBA64);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const quint16 alpha = x < 4 ? 0 : x < 8 ? 0x8000 : 0xffff;
            picture.setPixelColor(x, y, QColor::fromRgba64(quint16(x * 4099 + 1), quint16(y * 4001 + 3),
                                                          0x1234, alpha));
        }
    }
    picture.setColorSpace(QColorSpace::DisplayP3);
    QString error;
    const QByteArray bytes = ImageEncoder::encode(picture, name, PhotoMetadata(), QString(), &error);
    QVERIFY2(!bytes.isEmpty(), qPrintable(error));
    const QImage back = QImage::fromData(bytes, name.toLatin1());
    QVERIFY(!back.isNull());

    QSet<int> alphas;
    for (int x = 0; x < 16; ++x)
        alphas << back.pixelColor(x, 8).alpha();
    switch (format.alpha) {
    case OutputFormat::Alpha::None:
        QCOMPARE(alphas, QSet<int>{255});
        break;
    case OutputFormat::Alpha::OnOff:
        QCOMPARE(alphas, (QSet<int>{0, 255}));
        break;
    case OutputFormat::Alpha::Full:
        QCOMPARE(alphas.size(), 3);
        break;
    }
    QCOMPARE(back.colorSpace().primaries() == QColorSpace::Primaries::DciP3D65, format.profile);
    const int bits = back.depth() == 1 ? 1 : back.depth() > 32 ? 16 : 8;
    QCOMPARE(bits, format.bits);
}

QTEST_MAIN(tst_OutputFormat)
#include "tst_outputformat.moc"
