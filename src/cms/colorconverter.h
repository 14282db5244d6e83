#ifndef COLORCONVERTER_H
#define COLORCONVERTER_H

#include <QByteArray>
#include <QImage>
#include <QString>

#include <memory>

// Colour conversion into sRGB through ICC profiles, with Little CMS. One
// converter turns rows of pixels of one kind into sRGB rows; it may be used
// from several threads at once.
class ColorConverter
{
public:
    // CMYK samples (four bytes a pixel) to sRGB in QImage::Format_RGB32
    // rows. profile is the picture's own CMYK profile, or empty for the
    // standard one shipped with the program, which also stands in for a
    // profile that is not a usable CMYK one. inverted: 255 means no ink,
    // as Adobe's programs store CMYK in JPEG files.
    static ColorConverter fromCmyk(const QByteArray &profile, bool inverted);

    // The standard CMYK profile (coated paper), from the resources.
    static QByteArray defaultCmykProfile();

    // The kind of pixels an ICC profile describes, as Little CMS reads its
    // header; Unusable when it cannot open the profile at all.
    enum class ProfileKind { Unusable, Rgb, Grey, Cmyk, Other };
    static ProfileKind kindOf(const QByteArray &profile);
    static bool isCmykProfile(const QByteArray &profile) { return kindOf(profile) == ProfileKind::Cmyk; }

    // image converted from the colour space profile describes to sRGB
    // (matrix- or table-based, RGB or grey, with alpha or without), in
    // QImage::Format_RGB32 or Format_ARGB32 with the alpha kept, tagged as
    // sRGB. A null image when the profile does not fit the pixels or
    // cannot be used; errorString then says why.
    static QImage toSrgb(const QImage &image, const QByteArray &profile, QString *errorString);

    // image tagged with the colour space of an ICC profile when Qt can make
    // one of it (matrix-based RGB profiles); unchanged otherwise.
    static QImage tagged(const QImage &image, const QByteArray &icc);

    // image in sRGB: converted from its own colour space or, when it has
    // none, from icc, as toSrgb. Unchanged when it is sRGB already or
    // nothing describes its colours; null on failure, as toSrgb.
    static QImage intoSrgb(const QImage &image, const QByteArray &icc, QString *errorString);

    // A decoded picture with the profile its file carries: tagged when Qt
    // can make a colour space of it, else (table-based profiles) converted
    // into sRGB, so that its colours are not lost either way. Unchanged,
    // with errorString set, when the profile cannot be used.
    static QImage withProfile(const QImage &image, const QByteArray &icc, QString *errorString);

    bool isValid() const { return transform != nullptr; }
    QString errorString() const { return error; }

    // Converts one row of pixels; out has room for pixels 32-bit pixels,
    // whose fourth byte it leaves as it finds it.
    void convertRow(const uchar *in, uchar *out, int pixels) const;

private:
    std::shared_ptr<void> transform; // a cmsHTRANSFORM
    QString error;
};

#endif // COLORCONVERTER_H
