#include "safepath.h"

#include <QtTest>

class TestSafePath : public QObject
{
    Q_OBJECT

private slots:
    void check_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain name") << "vm3client_linux_x86" << true;
        QTest::newRow("nested") << "plugins/imageformats/libqjpeg.so" << true;
        QTest::newRow("dots inside a name") << "a..b/.hidden/x.tar.gz" << true;
        QTest::newRow("spaces and unicode") << QString::fromUtf8("Daten/Übersicht 1.txt") << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("inner parent") << "a/../../x" << false;
        QTest::newRow("current") << "." << false;
        QTest::newRow("empty component") << "a//b" << false;
        QTest::newRow("backslash") << "a\\b" << false;
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << false;
        QTest::newRow("newline") << "a\nb" << false;
        QTest::newRow("C1 control") << QString("a") + QChar(0x85) << false;
    }
    void check()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(isSafeRelativePath(path), safe);
    }
};

QTEST_GUILESS_MAIN(TestSafePath)
#include "tst_util_safepath.moc"
