#ifndef STATUSTEXT_H
#define STATUSTEXT_H

#include <QRegularExpression>
#include <QString>

namespace TestSupport {

// What a finished batch adds of the bytes it saved: ", 512 MB → 143 MB",
// ", 1,004 bytes → 2,4 kB".
inline QString savedPattern()
{
    return QStringLiteral(", ([\\d.,]+ \\S+ → [\\d.,]+ \\S+)");
}

// A status bar text without the bytes saved, for comparing the rest
// exactly.
inline QString withoutSaved(const QString &text)
{
    static const QRegularExpression saved(savedPattern() + QLatin1Char('$'));
    return QString(text).remove(saved);
}

} // namespace TestSupport

#endif // STATUSTEXT_H
