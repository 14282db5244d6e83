#include "encode/outputformat.h"

const QList<OutputFormat> &OutputFormat::all()
{
    using Writer = OutputFormat::Writer;
    using Alpha = OutputFormat::Alpha;
    static const QList<OutputFormat> rows{
            // name, suffix, writer, alpha, profile, metadata, bits
            {"BMP", "BMP", Writer::Qt, Alpha::None, false, false, 8},
            {"JPG", "JPG", Writer::Qt, Alpha::None, true, true, 8},
            {"JPEG", "JPEG", Writer::Qt, Alpha::None, true, true, 8},
            {"PNG", "png", Writer::Png, Alpha::Full, true, true, 16},
            {"PPM", "PPM", Writer::Qt, Alpha::None, false, false, 8},
            {"TIFF", "TIFF", Writer::Qt, Alpha::Full, true, true, 16},
            {"XBM", "XBM", Writer::Qt, Alpha::None, false, false, 1},
            {"XPM", "XPM", Writer::Qt, Alpha::OnOff, false, false, 8},
            // Only as a source's own suffix.
            {"TIF", "TIF", Writer::Qt, Alpha::Full, true, true, 16},
            {"PGM", "PGM", Writer::Qt, Alpha::None, false, false, 8},
            {"PBM", "PBM", Writer::Qt, Alpha::None, false, false, 1},
            {"WEBP", "WEBP", Writer::Qt, Alpha::Full, true, true, 8},
            {"HEIC", "HEIC", Writer::HeifHevc, Alpha::Full, true, false, 8},
            {"HEIF", "HEIF", Writer::HeifHevc, Alpha::Full, true, false, 8},
            {"AVIF", "AVIF", Writer::HeifAv1, Alpha::Full, true, false, 8},
    };
    return rows;
}

const QList<OutputFormat> &OutputFormat::offered()
{
    static const QList<OutputFormat> rows = all().first(8);
    return rows;
}

OutputFormat OutputFormat::of(const QString &name)
{
    for (const OutputFormat &row : all()) {
        if (row.name.compare(name, Qt::CaseInsensitive) == 0)
            return row;
    }
    return {name.toUpper(), name, Writer::Qt, Alpha::Full, true, false, 8};
}
