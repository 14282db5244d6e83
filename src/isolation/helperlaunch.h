#ifndef HELPERLAUNCH_H
#define HELPERLAUNCH_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <sys/types.h>

// How the window starts a helper process: with nothing of its own. The
// helper gets its end of a socket pair as descriptor 3 and no other;
// stdin and stdout on /dev/null, stderr on /dev/null too or, when the
// "pictavo.helper" logging category is on, a pipe whose lines the window
// logs there (bounded); a session of its own (no controlling terminal);
// / as its working directory; no blocked or ignored signals; of the
// window's environment only what the libraries read.
namespace HelperLaunch {

struct Process
{
    pid_t pid = -1;
    int socket = -1; // the window's end
    int log = -1;    // the read end of the helper's stderr; -1: none
};

// Starts the program at path. False, with why, when it could not be.
bool start(const QByteArray &path, Process *process, QString *why);

// The environment a helper gets out of the given one: the locale, the
// time zone, where Qt and gdk-pixbuf find their plug-ins, where the
// libraries are, and the sanitizers' options.
QList<QByteArray> environmentFrom(const char *const *environment);

// Logs what the helper wrote to its stderr since the last call, at most a
// pipe's worth; what it wrote beyond that while nobody read was dropped
// (its writes never block). Nothing when it has no log.
void drainLog(const Process &process);

} // namespace HelperLaunch

#endif // HELPERLAUNCH_H
