#include "ui/commandline.h"

#include <QTest>

// What a start makes of its arguments, as the program gets them.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void asksQuestion_data();
    void asksQuestion();
};

using Action = CommandLine::Action;
Q_DECLARE_METATYPE(CommandLine::Action)

void tst_CommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments"); // after the program's name
    QTest::addColumn<Action>("action");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("says"); // a part of the text

    QTest::newRow("files and folders") << QStringList{"a.jpg", "trip", "b c.png"} << Action::Open
                                       << QStringList{"a.jpg", "trip", "b c.png"} << QString();
    QTest::newRow("nothing") << QStringList{} << Action::Open << QStringList{} << QString();
    QTest::newRow("--help") << QStringList{"--help"} << Action::Help << QStringList{}
                            << "Usage: ";
    QTest::newRow("-h after a file") << QStringList{"a.jpg", "-h"} << Action::Help
                                     << QStringList{} << "[file or folder...]";
    QTest::newRow("--version") << QStringList{"--version"} << Action::Version << QStringList{}
                               << " " PICTAVO_VERSION "\n";
    QTest::newRow("an unknown option") << QStringList{"--bogus", "a.jpg"} << Action::Refuse
                                       << QStringList{} << "Unknown option 'bogus'";
    QTest::newRow("a file named like an option") << QStringList{"-x.jpg"} << Action::Refuse
                                                 << QStringList{} << "--help'";
    QTest::newRow("-- ends the options")
            << QStringList{"a.jpg", "--", "-x.jpg", "--help"} << Action::Open
            << QStringList{"a.jpg", "-x.jpg", "--help"} << QString();
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(Action, action);
    QFETCH(QStringList, paths);
    QFETCH(QString, says);
    const CommandLine line = CommandLine::parse(QStringList{"pictavo"} + arguments);
    QCOMPARE(line.action, action);
    QCOMPARE(line.paths, paths);
    QVERIFY2(line.text.contains(says), qPrintable(line.text));
}

void tst_CommandLine::asksQuestion_data()
{
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<bool>("asks");
    QTest::newRow("files") << QByteArrayList{"a.jpg", "-"} << false;
    QTest::newRow("--version after a file") << QByteArrayList{"a.jpg", "--version"} << true;
    QTest::newRow("-?") << QByteArrayList{"-?"} << true;
    QTest::newRow("a file named --help") << QByteArrayList{"--", "--help"} << false;
    QTest::newRow("an unknown option") << QByteArrayList{"--helpful"} << false;
}

void tst_CommandLine::asksQuestion()
{
    QFETCH(QByteArrayList, arguments);
    QFETCH(bool, asks);
    arguments.prepend("pictavo");
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    QCOMPARE(CommandLine::asksQuestion(int(argv.size()), argv.data()), asks);
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
