#include "sourceformat.h"

#include "sourcefile.h"

#include <QImageReader>

bool SourceFormat::isImage(const QString &path)
{
    SourceFile file(path);
    if (!file.isOpen())
        return false;
    // Readers that Qt's plug-ins lack go before this line, each asked of
    // the same open file.
    QImageReader reader(file.device());
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}
