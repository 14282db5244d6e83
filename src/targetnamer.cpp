#include "targetnamer.h"

#include <QDir>
#include <QFileInfo>

TargetNamer::TargetNamer(const QStringList &sources)
{
    protect(sources);
}

QString TargetNamer::targetFileName(const QString &directory, const QString &sourcePath,
                                    const QString &format)
{
    return directory + QLatin1Char('/') + QFileInfo(sourcePath).completeBaseName()
            + QLatin1Char('.') + format;
}

QString TargetNamer::pathKey(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    // Not there yet: resolve what can be resolved, the directory.
    const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!dir.isEmpty())
        return QDir::cleanPath(dir + QLatin1Char('/') + info.fileName());
    return QDir::cleanPath(info.absoluteFilePath());
}

void TargetNamer::protect(const QStringList &paths)
{
    for (const QString &path : paths)
        protectedKeys.insert(pathKey(path));
}

bool TargetNamer::isTaken(const QString &key) const
{
    return protectedKeys.contains(key) || claimedKeys.contains(key);
}

QString TargetNamer::claim(const QString &directory, const QString &sourcePath,
                           const QString &format)
{
    QString name = targetFileName(directory, sourcePath, format);
    QString key = pathKey(name);
    const QString base = QFileInfo(sourcePath).completeBaseName();
    for (int n = 2; isTaken(key); ++n) {
        name = directory + QLatin1Char('/') + base + QStringLiteral(" (%1).").arg(n) + format;
        key = pathKey(name);
    }
    claimedKeys.insert(key);
    return name;
}
