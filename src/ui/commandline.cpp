#include "ui/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstring>

namespace {

const char *const questions[] = {"-h", "--help", "-?", "--help-all", "-v", "--version"};

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
            QCoreApplication::translate("CommandLine", "Converts images in batches: opens the "
                                                       "given images and folders in the window "
                                                       "(or in the window already open)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(
            QStringLiteral("paths"),
            QCoreApplication::translate("CommandLine", "Images and folders to open."),
            QStringLiteral("[file or folder...]"));

    CommandLine line;
    if (!parser.parse(arguments)) {
        line.action = Action::Refuse;
        line.text = parser.errorText() + QLatin1Char('\n')
                + QCoreApplication::translate("CommandLine", "Try '%1 --help'.")
                          .arg(QCoreApplication::applicationName())
                + QLatin1Char('\n');
    } else if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        line.action = Action::Help;
        line.text = parser.helpText();
    } else if (parser.isSet(version)) {
        line.action = Action::Version;
        line.text = QStringLiteral("%1 " PICTAVO_VERSION "\n").arg(QCoreApplication::applicationName());
    } else {
        line.paths = parser.positionalArguments();
    }
    return line;
}

bool CommandLine::asksQuestion(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            return false;
        for (const char *question : questions) {
            if (std::strcmp(argv[i], question) == 0)
                return true;
        }
    }
    return false;
}
