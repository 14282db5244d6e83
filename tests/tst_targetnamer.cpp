#include "fs/targetnamer.h"

#include "testsupport.h"

class tst_TargetNamer : public QObject
{
    Q_OBJECT

private slots:
    void plainName_data();
    void plainName();
    void pathKeyResolves();
    void clashesNumbered();
};

void tst_TargetNamer::plainName_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");
    QTest::newRow("png") << "/out" << "/pics/holiday.jpg" << "png" << "/out/holiday.png";
    QTest::newRow("upper case kept") << "/out" << "/pics/holiday.jpg" << "JPEG" << "/out/holiday.JPEG";
    QTest::newRow("trailing slash doubled") << "/out/" << "/pics/holiday.jpg" << "png" << "/out//holiday.png";
    QTest::newRow("dotted base") << "/out" << "/p/a.b.png" << "png" << "/out/a.b.png";
    QTest::newRow("no suffix, no format") << "/out" << "/p/README" << "" << "/out/README.";
    QTest::newRow("non-ascii") << "/ü t" << "/p/中文 é.jpg" << "png" << "/ü t/中文 é.png";
}

void tst_TargetNamer::plainName()
{
    QFETCH(QString, dir);
    QFETCH(QString, source);
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(TargetNamer::targetFileName(dir, source, format), expected);
}

void tst_TargetNamer::pathKeyResolves()
{
    QTemporaryDir tmp;
    const QString real = TestSupport::writeImage(tmp.filePath("d/a.png"), QSize(2, 2));
    QVERIFY(QFile::link(real, tmp.filePath("link.png")));
    const QString key = TargetNamer::pathKey(real);
    QCOMPARE(TargetNamer::pathKey(tmp.filePath("d/../d//a.png")), key);
    QCOMPARE(TargetNamer::pathKey(tmp.filePath("link.png")), key);
    // Files not written yet compare by their resolved directory.
    QCOMPARE(TargetNamer::pathKey(tmp.filePath("d/./new.png")),
             TargetNamer::pathKey(tmp.filePath("d//new.png")));
}

void tst_TargetNamer::clashesNumbered()
{
    QTemporaryDir tmp;
    const QString dir = tmp.path();
    const QString source = TestSupport::writeImage(dir + "/a.png", QSize(2, 2));
    TargetNamer namer({source});
    QCOMPARE(namer.claim(dir, source, "png"), dir + "/a (2).png");
    QCOMPARE(namer.claim(dir, "/elsewhere/a.jpg", "png"), dir + "/a (3).png");
    QCOMPARE(namer.claim(dir, "/elsewhere/a.jpg", "jpg"), dir + "/a.jpg");
    QCOMPARE(namer.claim(dir + "/", "/x/b.gif", "png"), dir + "//b.png");
    QCOMPARE(namer.claim(dir, "/y/b.bmp", "png"), dir + "/b (2).png");

    // A fresh batch starts over; only sources stay protected.
    TargetNamer next({source});
    QCOMPARE(next.claim(dir, "/elsewhere/a.jpg", "jpg"), dir + "/a.jpg");
    next.protect({dir + "/c.png"});
    QCOMPARE(next.claim(dir, "/z/c.tif", "png"), dir + "/c (2).png");
}

QTEST_MAIN(tst_TargetNamer)
#include "tst_targetnamer.moc"
