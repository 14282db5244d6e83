#include "base/pngchunks.h"
#include "conversion/conversionjob.h"
#include "encode/imageencoder.h"
#include "metadata/photometadata.h"

#include "testsupport.h"
#include "hostile/hostilecorpus.h"
#include "photofixtures.h"

#include <QColorSpace>

#include <lcms2.h>

using namespace PhotoFixtures;

// A photo's EXIF, XMP and IPTC, copied into the converted file beside what
// exiv2 cannot read whole.
class tst_PhotoMetadata : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void metadataBesideFaults_data();
    void metadataBesideFaults();

private:
    QTemporaryDir tmp;
};

namespace {

// A JPEG segment (APPn) of the given marker.
QByteArray segment(int marker, const QByteArray &data)
{
    const qsizetype length = data.size() + 2;
    return QByteArray("\xff", 1) + char(marker) + char(length >> 8) + char(length & 0xff) + data;
}

// The photo with an ICC profile segment (1 of 1) per profile, right after SOI.
QByteArray photoWithProfiles(const QList<QByteArray> &profiles)
{
    QByteArray segments;
    for (const QByteArray &profile : profiles)
        segments += segment(0xe2, QByteArray("ICC_PROFILE\0\1\1", 14) + profile);
    const QByteArray jpeg = photo();
    return jpeg.left(2) + segments + jpeg.mid(2);
}

QByteArray greyProfile()
{
    cmsToneCurve *gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(grey, nullptr, &size);
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    cmsSaveProfileToMem(grey, bytes.data(), &size);
    cmsCloseProfile(grey);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// The photo as a PNG (EXIF and XMP as exiv2 writes them) with one comment
// of 200 KB, past what exiv2 inflates.
QByteArray longCommentPng()
{
    QImage image(64, 96, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QByteArray png = withMetadata(encoded(image, "png"), [](Exiv2::Image &file) {
        file.exifData()["Exif.Photo.DateTimeOriginal"] = "2024:07:14 18:30:00";
        file.xmpData()["Xmp.xmp.Rating"] = "4";
    });
    return Hostile::textBombPng(png, "zTXt", 1, 200000);
}

// The PNG without its comment chunks: exiv2 gives up on a whole file whose
// comment inflates past its limit.
QByteArray withoutComments(const QByteArray &png)
{
    QByteArray kept = png.left(PngChunks::signatureBytes);
    PngChunks chunks(png);
    PngChunks::Chunk chunk;
    while (chunks.next(&chunk)) {
        const QByteArray whole = png.mid(chunk.at, chunk.end() - chunk.at);
        if (!whole.mid(PngChunks::headBytes).startsWith(QByteArrayView("Comment\0", 8)))
            kept += whole;
    }
    return kept;
}
} // namespace

void tst_PhotoMetadata::initTestCase()
{
    QVERIFY(tmp.isValid());
    PhotoMetadata::initLibrary(); // before the fixtures use exiv2
    const auto make = [this](const char *name, const QByteArray &bytes) {
        TestSupport::writeBytes(tmp.filePath(QLatin1String(name)), bytes);
    };
    const QByteArray p3 = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    make("profile-truncated.jpg", photoWithProfiles({p3.left(p3.size() / 2)}));
    make("profile-doubled.jpg", photoWithProfiles({p3, p3}));
    make("profile-grey-on-rgb.jpg", photoWithProfiles({greyProfile()}));
    make("long-comment.png", longCommentPng());
}

void tst_PhotoMetadata::metadataBesideFaults_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("iptc");
    QTest::addColumn<QStringList>("warnings");

    const QString damaged = ImageEncoder::tr("its colour profile is damaged: its colours were "
                                             "written as stored");
    const QString unfit = ImageEncoder::tr("its colour profile does not fit the picture: its "
                                           "colours were written as stored");
    for (const char *format : {"jpg", "png"}) {
        QTest::addRow("profile-truncated.jpg to %s", format)
                << "profile-truncated.jpg" << format << true << QStringList{damaged};
        QTest::addRow("profile-doubled.jpg to %s", format)
                << "profile-doubled.jpg" << format << true << QStringList{damaged};
        QTest::addRow("profile-grey-on-rgb.jpg to %s", format)
                << "profile-grey-on-rgb.jpg" << format << true << QStringList{unfit};
    }
    // Qt's reader and writer carry the comment itself.
    QTest::newRow("long-comment.png to png") << "long-comment.png" << "png" << false << QStringList();
    QTest::newRow("long-comment.png to jpg")
            << "long-comment.png" << "jpg" << false
            << QStringList{PhotoMetadata::tr("its comment was cut to 64 KB, what a JPEG file holds")};
}

// What exiv2 cannot read whole (a profile, a comment) costs no EXIF or XMP,
// and what is lost is said on the image.
void tst_PhotoMetadata::metadataBesideFaults()
{
    QFETCH(QString, source);
    QFETCH(QString, format);
    QFETCH(bool, iptc);
    QFETCH(QStringList, warnings);

    ConversionJob job(tmp.filePath(source), ConvertMode::FormatConvert, QSize(), 0, format,
                      Qt::IgnoreAspectRatio);
    QDir().mkpath(tmp.filePath(QStringLiteral("faults")));
    const ConversionResult result = job.run(ConversionJob::Target(
            tmp.filePath(QStringLiteral("faults/%1").arg(QTest::currentDataTag()))));
    QVERIFY2(result.written(), qPrintable(result.detail));
    QVERIFY2(result.warnings == warnings, qPrintable(result.warnings.join(QLatin1Char('\n'))));
    QByteArray bytes = TestSupport::fileBytes(result.fileName);
    if (format == QLatin1String("png"))
        bytes = withoutComments(bytes);
    const std::unique_ptr<Exiv2::Image> file = openExiv2(bytes);
    file->readMetadata();
    QCOMPARE(tagOf(*file, "Exif.Photo.DateTimeOriginal"), QStringLiteral("2024:07:14 18:30:00"));
    QCOMPARE(tagOf(*file, "Xmp.xmp.Rating"), QStringLiteral("4"));
    if (iptc)
        QCOMPARE(tagOf(*file, "Iptc.Application2.City"), QStringLiteral("Brest"));
}

QTEST_MAIN(tst_PhotoMetadata)
#include "tst_photometadata.moc"
