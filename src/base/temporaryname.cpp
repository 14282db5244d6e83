#include "base/temporaryname.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <atomic>

namespace {

// Numbers as QString::number writes them: no sign, no leading zero.
const QRegularExpression &pattern()
{
    static const QRegularExpression ours(
            QStringLiteral("^\\.pictavo-([1-9][0-9]{0,18})-[1-9][0-9]{0,19}(-case)?\\.tmp$"));
    return ours;
}

QString next(const char *suffix)
{
    static std::atomic<quint64> counter{0};
    return QStringLiteral(".pictavo-%1-%2%3.tmp")
            .arg(QCoreApplication::applicationPid())
            .arg(++counter)
            .arg(QLatin1String(suffix));
}

} // namespace

QString TemporaryName::forWrite()
{
    return next("");
}

QString TemporaryName::forProbe()
{
    return next("-case");
}

bool TemporaryName::isOurs(const QString &fileName, qint64 *pid)
{
    const QRegularExpressionMatch m = pattern().match(fileName);
    if (!m.hasMatch())
        return false;
    if (pid)
        *pid = m.captured(1).toLongLong();
    return true;
}
