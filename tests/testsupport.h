#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "fs/sourcefile.h"
#include "hostile/statustext.h"
#include "thumbnail/thumbnailloader.h"

#include <QApplication>
#include <QBuffer>
#include <QDebug>
#include <QColor>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QStandardPaths>
#include <QProcess>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <jpeglib.h>

// A wait ends as soon as what it waits for holds; its ceiling only says
// when one that never ends fails. A loaded machine (the sanitizers, a
// parallel run, a busy desktop) can take many times Qt's default five
// seconds for what takes milliseconds alone, so the tests' plain waits
// get a ceiling no working program comes near.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT(expr, 120000)
#undef QTRY_VERIFY2
#define QTRY_VERIFY2(expr, message) QTRY_VERIFY2_WITH_TIMEOUT(expr, message, 120000)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected) QTRY_COMPARE_WITH_TIMEOUT(expr, expected, 120000)

namespace TestSupport {

// Keeps the tests away from the user's real settings and thumbnail cache:
// both go to dir.
inline void isolateSettings(const QString &dir)
{
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir + QStringLiteral("/cache")));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
    QSettings(QStringLiteral("Tarnwick"), QStringLiteral("Pictavo")).clear();
}

inline void isolateSettings(const QTemporaryDir &dir)
{
    isolateSettings(dir.path());
}

// Mounts a fresh FAT volume of megabytes at card (an empty folder) through
// FUSE, as a camera card or a USB stick would be. Returns why it cannot be
// done here (tools missing, no FUSE), for the test to skip; unmount with
// unmountFat().
inline QString mountFat(const QString &image, const QString &card, int megabytes)
{
    if (QStandardPaths::findExecutable(QStringLiteral("fusefat")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("mkfs.vfat")).isEmpty())
        return QStringLiteral("fusefat and mkfs.vfat are needed for a FAT volume");
    {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(megabytes) * 1024 * 1024))
            return QStringLiteral("cannot make the volume's image");
    }
    if (QProcess::execute(QStringLiteral("mkfs.vfat"), {image}) != 0)
        return QStringLiteral("mkfs.vfat failed");
    QProcess mount;
    mount.start(QStringLiteral("fusefat"), {QStringLiteral("-o"), QStringLiteral("rw+"), image, card});
    if (!mount.waitForFinished(20000) || mount.exitCode() != 0)
        return QStringLiteral("fusefat cannot mount here: ")
                + QString::fromLocal8Bit(mount.readAllStandardError());
    return QString();
}

inline void unmountFat(const QString &card)
{
    QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-u"), QStringLiteral("-z"), card});
}

// A picture with distinct quadrants, so that rotations and scaling show.
inline QImage pattern(const QSize &size, bool alpha = false)
{
    QImage image(size, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.fill(alpha ? QColor(0, 0, 0, 0) : QColor(Qt::white));
    QPainter p(&image);
    const int w = size.width(), h = size.height();
    p.fillRect(0, 0, w / 2, h / 2, Qt::red);
    p.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
    p.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
    p.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, QColor(255, 255, 0, alpha ? 128 : 255));
    return image;
}

inline QString writeImage(const QString &path, const QSize &size, const char *format = nullptr,
                          bool alpha = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!pattern(size, alpha).save(path, format))
        qWarning() << "could not write fixture" << path;
    return path;
}

// Random pixels with a fixed seed: JPEG cannot squeeze them, so the scan
// is most of the file.
// A link to photo at each of paths (a copy where links cannot be made),
// their folders made: the many files of a large folder, cheaply.
inline bool linkCopies(const QString &photo, const QStringList &paths)
{
    for (const QString &path : paths) {
        if (!QDir().mkpath(QFileInfo(path).absolutePath())
            || !(QFile::link(photo, path) || QFile::copy(photo, path)))
            return false;
    }
    return true;
}

inline QByteArray noiseJpeg(const QSize &size, quint32 seed = 7)
{
    QImage noise(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate());
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    noise.save(&buffer, "JPEG", 90);
    return jpeg;
}

inline QString writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qWarning() << "could not write fixture" << path;
    return path;
}

// A JPEG cut off in the middle of its scan: libjpeg decodes it with grey
// rows below the cut and only warns.
inline QString writeTruncatedJpeg(const QString &path, const QSize &size = QSize(120, 80))
{
    const QByteArray jpeg = noiseJpeg(size);
    return writeBytes(path, jpeg.left(jpeg.size() / 2));
}

inline QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The thumbnail of the file at path as a helper makes it, from the
// descriptor the window opened (in this process: the code is the same).
inline QImage thumbnailOf(const QString &path, int side = 128)
{
    SourceFile file(path);
    return ThumbnailLoader::fromDescriptor(file.isOpen() ? file.device()->handle() : -1, path,
                                           side, nullptr, nullptr);
}

inline QByteArray checksum(const QString &path)
{
    return QCryptographicHash::hash(fileBytes(path), QCryptographicHash::Sha256);
}

// A JPEG whose EXIF orientation tag says how to turn it (6: 90 degrees
// clockwise). The tag lives in an APP1 segment right after SOI.
inline QString writeRotatedJpeg(const QString &path, const QSize &stored, quint16 orientation)
{
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        pattern(stored).save(&buffer, "JPEG", 95);
    }
    QByteArray tiff;
    tiff += QByteArray("MM\x00\x2A\x00\x00\x00\x08", 8); // big-endian header, IFD at 8
    tiff += QByteArray("\x00\x01", 2);                  // one entry
    tiff += QByteArray("\x01\x12\x00\x03\x00\x00\x00\x01", 8); // Orientation, SHORT, 1
    tiff += char(orientation >> 8);
    tiff += char(orientation & 0xff);
    tiff += QByteArray("\x00\x00", 2);
    tiff += QByteArray("\x00\x00\x00\x00", 4); // no next IFD
    QByteArray app1 = QByteArray("Exif\x00\x00", 6) + tiff;
    const int length = int(app1.size()) + 2;
    QByteArray segment = QByteArray("\xFF\xE1", 2);
    segment += char(length >> 8);
    segment += char(length & 0xff);
    segment += app1;
    jpeg.insert(2, segment);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(jpeg);
    return path;
}

// A JPEG of the pattern whose EXIF block carries an orientation and a
// preview of one plain colour, so a test can tell which one was shown.
inline QString writeJpegWithPreview(const QString &path, const QSize &size,
                                    const QSize &previewSize, quint16 orientation,
                                    int paddingSegments = 0)
{
    auto jpegOf = [](const QImage &image) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPEG", 90);
        return bytes;
    };
    QImage preview(previewSize, QImage::Format_RGB32);
    preview.fill(Qt::green);
    const QByteArray previewJpeg = jpegOf(preview);
    auto be16 = [](quint16 v) { return QByteArray(1, char(v >> 8)) + char(v & 0xff); };
    auto be32 = [&](quint32 v) { return be16(quint16(v >> 16)) + be16(quint16(v)); };
    QByteArray tiff = QByteArray("MM", 2) + be16(42) + be32(8);
    tiff += be16(1) + be16(0x0112) + be16(3) + be32(1) + be16(orientation) + be16(0) + be32(26);
    tiff += be16(2) + be16(0x0201) + be16(4) + be32(1) + be32(56)
            + be16(0x0202) + be16(4) + be32(1) + be32(quint32(previewJpeg.size())) + be32(0);
    tiff += previewJpeg;
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray jpeg = jpegOf(pattern(size));
    // Segments of other programs' data after the EXIF block push the
    // pixels far back.
    for (int i = 0; i < paddingSegments; ++i)
        jpeg.insert(2, QByteArray("\xFF\xEF", 2) + be16(60002) + QByteArray(60000, 'x'));
    jpeg.insert(2, QByteArray("\xFF\xE1", 2) + be16(quint16(app1.size() + 2)) + app1);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(jpeg);
    return path;
}

// Answers the next modal file dialog: selects the given files (or
// cancels when there are none). Returns at once; the dialog is answered
// when it appears. accepted, when given, runs right before the dialog
// closes: from then on the time is the application's.
inline void answerFileDialog(const QStringList &files, const QString &directory = QString(),
                             std::function<void()> accepted = {})
{
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [files, directory, accepted, attempt]() {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(10, *attempt);
            return;
        }
        *attempt = nullptr; // found: break the closure's hold on itself
        if (files.isEmpty() && directory.isEmpty()) {
            dialog->reject();
            return;
        }
        // A focused name field ignores selectFile(): later dialogs in a
        // process open with the focus there.
        if (QWidget *focus = dialog->focusWidget())
            focus->clearFocus();
        if (!directory.isEmpty()) {
            dialog->setDirectory(directory);
            dialog->selectFile(directory);
        } else {
            dialog->setDirectory(QFileInfo(files.first()).absolutePath());
            QStringList names;
            for (const QString &f : files)
                names << QLatin1Char('"') + QFileInfo(f).fileName() + QLatin1Char('"');
            dialog->selectFile(names.join(QLatin1Char(' ')));
        }
        if (accepted)
            accepted();
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides accept()
        if (dialog->isVisible()) {
            // The dialog refused the choice (a missing file, say): give up
            // rather than hang the test.
            qWarning() << "file dialog refused" << files << directory;
            dialog->reject();
        }
    };
    QTimer::singleShot(0, *attempt);
}

// A four-component JPEG written by libjpeg: inks(x, y) gives the samples
// as stored, stored the colour space they are kept in (JCS_CMYK or JCS_YCCK);
// adobe adds the APP14 marker, profile (when given) an ICC profile.
inline QByteArray cmykJpeg(const QSize &size, J_COLOR_SPACE stored, bool adobe,
                           const QByteArray &profile,
                           const std::function<std::array<int, 4>(int x, int y)> &inks)
{
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char *memory = nullptr;
    unsigned long length = 0;
    jpeg_mem_dest(&info, &memory, &length);
    info.image_width = JDIMENSION(size.width());
    info.image_height = JDIMENSION(size.height());
    info.input_components = 4;
    info.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    jpeg_set_colorspace(&info, stored);
    info.write_Adobe_marker = adobe;
    jpeg_start_compress(&info, TRUE);
    if (!profile.isEmpty())
        jpeg_write_icc_profile(&info, reinterpret_cast<const JOCTET *>(profile.constData()),
                               unsigned(profile.size()));
    std::vector<JSAMPLE> row(size_t(size.width()) * 4);
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < size.width(); ++x) {
            const std::array<int, 4> ink = inks(x, int(info.next_scanline));
            for (int c = 0; c < 4; ++c)
                row[size_t(x) * 4 + c] = JSAMPLE(ink[c]);
        }
        JSAMPROW rows = row.data();
        jpeg_write_scanlines(&info, &rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(memory), qsizetype(length));
    std::free(memory);
    return bytes;
}

} // namespace TestSupport

#endif // TESTSUPPORT_H
