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

// What the status bar adds after that when the results' folder could not
// be shown (no opener installed, as under the offscreen platform).
inline QString notOpenedPattern()
{
    return QStringLiteral("(, the folder could not be opened)");
}

// A status bar text without the bytes saved (and the folder not opened),
// for comparing the rest exactly.
inline QString withoutSaved(const QString &text)
{
    static const QRegularExpression saved(savedPattern() + QStringLiteral("(?:")
                                          + notOpenedPattern() + QStringLiteral(")?$"));
    return QString(text).remove(saved);
}

} // namespace TestSupport

#endif // STATUSTEXT_H
