#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include <QString>
#include <QStringList>

// What a start was asked on its command line: files and folders to open,
// or a question (--help, --version) answered on the terminal without a
// window, or an option this program does not have. "--" ends the options,
// so that a file named "-x.jpg" still opens.
class CommandLine
{
public:
    enum class Action { Open, Help, Version, Refuse };

    // arguments as QCoreApplication::arguments() gives them, the program
    // first.
    static CommandLine parse(const QStringList &arguments);
    // Whether argv asks a question that needs no window (looked at before
    // the application, and so a display, exists).
    static bool asksQuestion(int argc, char **argv);

    Action action = Action::Open;
    QStringList paths;
    // For Help and Version, what goes to stdout; for Refuse, to stderr.
    QString text;
};

#endif // COMMANDLINE_H
