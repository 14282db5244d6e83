#ifndef TMPFSMOUNT_H
#define TMPFSMOUNT_H

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace Hostile {

// A tmpfs mounted over a folder for the life of the object: a read-only one
// (root ignores permission bits, not a read-only file system) or a small one
// to fill up. Mounting needs root and a kernel that lets us, which some
// containers do not; error() then says why, and the test skips.
class TmpfsMount
{
public:
    TmpfsMount(const QString &dir, const QString &options) : path(dir)
    {
        QDir().mkpath(dir);
        QProcess mount;
        mount.setProcessChannelMode(QProcess::MergedChannels);
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"), options,
                     QStringLiteral("tmpfs"), dir});
        if (!mount.waitForFinished(20000)) {
            message = QStringLiteral("mount did not run: ") + mount.errorString();
            mount.kill();
            mount.waitForFinished();
            return;
        }
        if (mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0) {
            message = QStringLiteral("mount -t tmpfs -o %1 failed: %2")
                              .arg(options, QString::fromLocal8Bit(mount.readAll()).trimmed());
            return;
        }
        mounted = true;
    }

    ~TmpfsMount()
    {
        if (!mounted)
            return;
        // Lazy, so that a file still open somewhere cannot keep the mount.
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path});
    }

    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;

    bool isMounted() const { return mounted; }
    QString error() const { return message; }

private:
    QString path;
    QString message;
    bool mounted = false;
};

} // namespace Hostile

#endif // TMPFSMOUNT_H
