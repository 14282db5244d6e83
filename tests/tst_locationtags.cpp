#include "metadata/locationtags.h"
#include "metadata/photometadata.h"
#include "ui/mainwindow.h"

#include "hostile/windowdriver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QToolButton>

#include <exiv2/exiv2.hpp>

using namespace TestSupport;
using namespace Hostile;

// Leaving the location behind: position and place names go, the rest of
// the photo's EXIF, XMP and IPTC stays.
class tst_LocationTags : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void locationFollowsTheCheckBox_data();
    void locationFollowsTheCheckBox();
    void exiftoolFindsNoPlace();

private:
    // A JPEG from a phone that knows where it was.
    static QString phonePhoto(const QString &path);
    static QString convert(const QString &photo, const QString &format, bool remove);

    QTemporaryDir settingsDir;
    QTemporaryDir tmp;
};

void tst_LocationTags::initTestCase()
{
    QVERIFY(settingsDir.isValid() && tmp.isValid());
    isolateSettings(settingsDir);
    PhotoMetadata::initLibrary();
}

QString tst_LocationTags::phonePhoto(const QString &path)
{
    writeImage(path, QSize(64, 48), "JPEG");
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    Exiv2::ExifData &exif = file->exifData();
    exif["Exif.Image.Make"] = "Tarnwick Optics";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:07:14 18:30:00";
    exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"] = Exiv2::URationalValue();
    exif["Exif.GPSInfo.GPSLatitude"].setValue("48/1 23/1 0/1");
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSLongitude"] = Exiv2::URationalValue();
    exif["Exif.GPSInfo.GPSLongitude"].setValue("4/1 29/1 0/1");
    Exiv2::XmpData &xmp = file->xmpData();
    xmp["Xmp.xmp.Rating"] = "4";
    xmp["Xmp.dc.title"] = "lang=x-default Harbour at dusk";
    xmp["Xmp.exif.GPSLatitude"] = "48,23.0N";
    xmp["Xmp.exif.GPSLongitude"] = "4,29.0W";
    xmp["Xmp.photoshop.City"] = "Brest";
    xmp["Xmp.iptc.Location"] = "Port de commerce";
    Exiv2::IptcData &iptc = file->iptcData();
    iptc["Iptc.Application2.Caption"] = "Boats coming in";
    iptc["Iptc.Application2.City"] = "Brest";
    iptc["Iptc.Application2.CountryName"] = "France";
    iptc["Iptc.Application2.SubLocation"] = "Port de commerce";
    file->writeMetadata();
    return path;
}

QString tst_LocationTags::convert(const QString &photo, const QString &format, bool remove)
{
    MainWindow w;
    w.show();
    WindowDriver d(&w);
    d.removeLocation->setChecked(remove);
    w.openImages({photo});
    [&]() { QTRY_COMPARE(d.status->currentMessage(), QStringLiteral("1 images loaded")); }();
    d.format->setCurrentIndex(d.format->findText(format));
    d.startCommand(FormatCommand);
    [&]() {
        QTRY_VERIFY_WITH_TIMEOUT(d.report().finished, 120000);
        QCOMPARE(d.report().failed, 0);
    }();
    // No warning: leaving the location is not a loss.
    if (w.findChild<QToolButton *>(QStringLiteral("toolButtonFailures"))->isVisible())
        return QString();
    const QDir out(QFileInfo(photo).path() + "/ConvertedImages");
    const QStringList written = out.entryList(QDir::Files);
    return written.size() == 1 ? out.filePath(written.first()) : QString();
}

void tst_LocationTags::locationFollowsTheCheckBox_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("remove");
    QTest::newRow("JPG, removed") << "JPG" << true;
    QTest::newRow("PNG, removed") << "PNG" << true;
    QTest::newRow("TIFF, removed") << "TIFF" << true;
    QTest::newRow("JPG, kept") << "JPG" << false;
}

void tst_LocationTags::locationFollowsTheCheckBox()
{
    QFETCH(QString, format);
    QFETCH(bool, remove);
    const QString dir = tmp.filePath(QStringLiteral("box ") + QTest::currentDataTag());
    const QString photo = phonePhoto(dir + "/harbour.jpg");
    const QString result = convert(photo, format, remove);
    QVERIFY2(!result.isEmpty(), "no single result, or one with a warning");
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(result).toStdString());
    file->readMetadata();
    QCOMPARE(LocationTags::present(file->exifData(), file->xmpData(), file->iptcData()), !remove);
    // Everything else is as it was.
    const auto exif = [&](const char *key) {
        const auto it = file->exifData().findKey(Exiv2::ExifKey(key));
        return it == file->exifData().end() ? std::string() : it->toString();
    };
    const auto xmp = [&](const char *key) {
        const auto it = file->xmpData().findKey(Exiv2::XmpKey(key));
        return it == file->xmpData().end() ? std::string() : it->toString();
    };
    const auto iptc = [&](const char *key) {
        const auto it = file->iptcData().findKey(Exiv2::IptcKey(key));
        return it == file->iptcData().end() ? std::string() : it->toString();
    };
    QCOMPARE(exif("Exif.Image.Make"), std::string("Tarnwick Optics"));
    QCOMPARE(exif("Exif.Photo.DateTimeOriginal"), std::string("2024:07:14 18:30:00"));
    QCOMPARE(xmp("Xmp.xmp.Rating"), std::string("4"));
    QVERIFY(QString::fromStdString(xmp("Xmp.dc.title")).contains("Harbour at dusk"));
    QCOMPARE(iptc("Iptc.Application2.Caption"), std::string("Boats coming in"));
    QCOMPARE(exif("Exif.GPSInfo.GPSLatitudeRef").empty(), remove);
    QCOMPARE(xmp("Xmp.photoshop.City").empty(), remove);
    QCOMPARE(iptc("Iptc.Application2.City").empty(), remove);
    // The original keeps its place.
    auto source = Exiv2::ImageFactory::open(QFile::encodeName(photo).toStdString());
    source->readMetadata();
    QVERIFY(LocationTags::present(source->exifData(), source->xmpData(), source->iptcData()));
}

// What a second reader, which knows makers' notes and composite tags,
// makes of a result: nothing that says where.
void tst_LocationTags::exiftoolFindsNoPlace()
{
    const QString exiftool = QStandardPaths::findExecutable(QStringLiteral("exiftool"));
    if (exiftool.isEmpty())
        QSKIP("exiftool (libimage-exiftool-perl) is needed");
    const QString photo = phonePhoto(tmp.filePath(QStringLiteral("exiftool/harbour.jpg")));
    const QString result = convert(photo, QStringLiteral("JPG"), true);
    QVERIFY(!result.isEmpty());
    const auto tagsOf = [&exiftool](const QString &path) {
        QProcess run;
        run.start(exiftool, {QStringLiteral("-j"), QStringLiteral("-G1"), QStringLiteral("-a"), path});
        run.waitForFinished(60000);
        return QJsonDocument::fromJson(run.readAllStandardOutput()).array().at(0).toObject();
    };
    const QJsonObject before = tagsOf(photo);
    const QJsonObject after = tagsOf(result);
    QVERIFY(!before.isEmpty() && !after.isEmpty());
    QStringList place;
    for (const QString &key : after.keys()) {
        if (key.contains(QLatin1String("GPS")) || key.endsWith(QLatin1String(":City"))
            || key.endsWith(QLatin1String(":Country-PrimaryLocationName"))
            || key.endsWith(QLatin1String(":Sub-location")) || key.endsWith(QLatin1String(":Location")))
            place << key;
    }
    QCOMPARE(place, QStringList());
    QVERIFY(before.keys().filter(QLatin1String("GPS")).size() > 2);
    QCOMPARE(after.value(QStringLiteral("IFD0:Make")).toString(), QStringLiteral("Tarnwick Optics"));
    QCOMPARE(after.value(QStringLiteral("XMP-xmp:Rating")).toInt(), 4);
    QCOMPARE(after.value(QStringLiteral("IPTC:Caption-Abstract")).toString(),
             QStringLiteral("Boats coming in"));
}

QTEST_MAIN(tst_LocationTags)
#include "tst_locationtags.moc"
