#include "sources/sourcetree.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name
                                             : folder + QLatin1Char('/') + name;
}

bool isWithin(const QString &path, const QString &folder)
{
    const QString inner = QDir::cleanPath(path);
    const QString outer = QDir::cleanPath(folder);
    return inner == outer || inner.startsWith(joined(outer, QString()));
}

} // namespace

SourceTree SourceTree::flat(const QStringList &files)
{
    SourceTree tree;
    tree.files = files;
    return tree;
}

QString SourceTree::besideFile(const QString &file)
{
    return joined(QFileInfo(file).absoluteDir().path(), QStringLiteral("ConvertedImages"));
}

QString SourceTree::proposedSaveFolder() const
{
    if (folders.isEmpty())
        return files.isEmpty() ? QString() : besideFile(files.first());
    const QFileInfo first(QDir::cleanPath(folders.first()));
    QString proposal;
    if (folders.size() == 1 && !first.fileName().isEmpty()) {
        proposal = joined(first.absolutePath(), first.fileName() + QStringLiteral(" (converted)"));
    } else {
        // Up from the first folder's parent until no folder given holds it,
        // for folders given one inside another.
        QString parent = first.absolutePath();
        const auto inside = [this](const QString &path) {
            return std::any_of(folders.begin(), folders.end(),
                               [&path](const QString &folder) { return isWithin(path, folder); });
        };
        while (inside(parent) && QFileInfo(parent).path() != parent)
            parent = QFileInfo(parent).path();
        proposal = joined(parent, QStringLiteral("ConvertedImages"));
    }
    return proposal;
}
