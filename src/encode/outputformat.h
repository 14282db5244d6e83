#ifndef OUTPUTFORMAT_H
#define OUTPUTFORMAT_H

#include <QString>

// What each output format can hold, by the name the user picked (matched
// case-insensitively). A leaf: the encoder, the writer and the list ask
// here rather than keeping lists of their own.
namespace OutputFormat {

// Whether there is a writer for the format: Qt's, or libheif's for HEIC/AVIF.
bool canWrite(const QString &format);

// JPG, PNG, TIFF and WebP carry an ICC profile and the source's EXIF, XMP, IPTC.
bool carriesMetadata(const QString &format);

// Formats that store no alpha: their writers drop it and keep whatever
// colour a transparent pixel happens to hold.
bool dropsAlpha(const QString &format);

// Formats whose files hold no colour profile, so that a reader takes their
// pixels for sRGB.
bool wantsSrgb(const QString &format);

bool isPng(const QString &format);
bool isTiff(const QString &format);
bool isXbm(const QString &format);

// Whether the file holds the pixels handed to the writer (JPEG lossily, but
// true to colour at thumbnail size), so the list can show them without
// reading the file back. XPM keeps alpha only as on or off.
bool keepsPixels(const QString &format);

} // namespace OutputFormat

#endif // OUTPUTFORMAT_H
