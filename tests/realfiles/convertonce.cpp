// Converts one file as the window does, at a percentage, in a process of
// its own: the tests run it twice under different malloc fillings
// (MALLOC_PERTURB_) to see that no pixel comes from memory nobody wrote.
// Usage: pictavo_convertonce SOURCE OUTDIR PERCENT FORMAT
// Prints "written FILE" or "failed REASON", then one line per warning.

#include "conversion/conversionjob.h"

#include <QGuiApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    ConversionJob job(args[1], ConvertMode::BothConvert, QSize(), args[3].toInt(), args[4],
                      Qt::IgnoreAspectRatio);
    const ConversionResult result = job.run(ConversionJob::Target(args[2]));
    QTextStream out(stdout);
    out << (result.written() ? QStringLiteral("written ") + result.fileName
                             : QStringLiteral("failed ") + result.reason)
        << '\n';
    for (const QString &warning : result.warnings)
        out << "warning " << warning << '\n';
    return 0;
}
