#include "producttree.h"
#include "taskspecification.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// One entry as a line: directory|name|md5|size, and |unpackedMd5|unpackedSize|unpackedName for a
// packed one.
QString describe(const FileSpecification& e)
{
    QString s = QStringList{e.directory, e.name, e.md5, QString::number(e.size)}.join('|');
    if (e.isPacked())
        s += '|' +
             QStringList{e.unpackedMd5, QString::number(e.unpackedSize), e.unpackedName}.join('|');
    return s;
}

FileSpecification entryFrom(const QString& line, unsigned int flags = 0)
{
    const QStringList f = line.split('|');
    FileSpecification e;
    e.flags = flags;
    e.directory = f.value(0);
    e.name = f.value(1);
    e.md5 = f.value(2);
    e.size = f.value(3).toULongLong();
    e.unpackedMd5 = f.value(4);
    e.unpackedSize = f.value(5).toULongLong();
    e.unpackedName = f.value(6);
    return e;
}

QStringList describeAll(const TaskSpecification& spec)
{
    QStringList lines;
    for (int i = 0; i < spec.getSize(); ++i) {
        FileSpecification e;
        if (spec.get(i, &e))
            lines << describe(e);
    }
    return lines;
}

TaskSpecification specOf(const QStringList& lines, unsigned int flags = 0)
{
    TaskSpecification spec;
    for (const QString& line : lines)
        spec.append(entryFrom(line, flags));
    return spec;
}

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void readIndex_data();
    void readIndex();
    void initializeAppendsAndKeepsEntriesOnFailure();
    void getContracts();
    void saveLoadRoundTrip_data();
    void saveLoadRoundTrip();
    void loadStoredRecords_data();
    void loadStoredRecords();
    void writeProductIni_data();
    void writeProductIni();
    void deleteKeys_data();
    void deleteKeys();

private:
    QString writeIndex(const QByteArray& text)
    {
        const QString path = dir.filePath(QString("index-%1.ini").arg(++counter));
        return writeFile(path, text) ? path : QString();
    }
    QTemporaryDir dir;
    int counter = 0;
};

// Expected: the entries separated by spaces, or "!" when the index is refused.
void TestTaskSpecification::readIndex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("files and a delete group")
        << QByteArray("[a]\nx=m1::10\ny=m2::200\n[delete]\nold=\nsub\\gone=1\n[b]\nz=m3::3000\n")
        << "a|x|m1|10 a|y|m2|200 b|z|m3|3000";
    QTest::newRow("nested key and subgroup section")
        << QByteArray("[a]\nf=m::1\np\\x.so=m::5\n[a/q]\ny.so=m::6\n")
        << "a|f|m|1 a|p/x.so|m|5 a|q/y.so|m|6";
    QTest::newRow("packed") << QByteArray("[a]\nlib.gz=pm::100::um::250::lib/libx.so\n")
                            << "a|lib.gz|pm|100|um|250|lib/libx.so";
    QTest::newRow("packed with empty name is plain")
        << QByteArray("[a]\nf=pm::100::um::250::\n") << "a|f|pm|100";
    QTest::newRow("empty fields") << QByteArray("[a]\nf=::\n") << "a|f||0";
    QTest::newRow("non-numeric length") << QByteArray("[a]\nf=m::12a\ng=m::-5\nh=m::x::um::7b::u\n")
                                        << "a|f|m|0 a|g|m|0 a|h|m|0|um|0|u";
    QTest::newRow("largest length")
        << QByteArray("[a]\nf=m::18446744073709551615\n") << "a|f|m|18446744073709551615";
    QTest::newRow("top-level keys are not files")
        << QByteArray("top=m::1\n[General]\ng=m::2\n[a]\nf=m::3\n") << "a|f|m|3";
    QTest::newRow("empty file") << QByteArray("") << "";
    QTest::newRow("missing file") << QByteArray() << "";
    QTest::newRow("nested delete of update is fine")
        << QByteArray("[a]\nf=m::1\n[delete]\nold\\update=\n") << "a|f|m|1";

    const QList<QPair<const char*, QByteArray>> refused = {
        {"one field", "[a]\nf=m\n"},
        {"three fields", "[a]\nf=m::1::x\n"},
        {"four fields", "[a]\nf=m::1::x::2\n"},
        {"six fields", "[a]\nf=m::1::x::2::u::\n"},
        {"trailing separator", "[a]\nf=m::1::\n"},
        {"unquoted comma", "[a]\nf=m::1,2\n"},
        {"parent directory group", "[..]\nf=m::1\n"},
        {"parent in name", "[a]\n..\\..\\etc\\passwd=m::1\n"},
        {"backslash in name", "[a]\n..%5Cf=m::1\n"},
        {"control character in name", "[a]\nf%0Ax=m::1\n"},
        {"absolute unpacked name", "[a]\nf=m::1::u::2::/etc/passwd\n"},
        {"parent in unpacked name", "[a]\nf=m::1::u::2::x/../../y\n"},
        {"NUL in unpacked name", "[a]\nf=@String(m::1::u::2::x\\0y)\n"},
        {"unsafe delete key", "[a]\nf=m::1\n[delete]\n..\\..\\x=\n"},
        {"unsafe delete in a subgroup", "[a]\nf=m::1\n[delete]\nx=\n[delete/s]\n..\\..\\x=\n"},
        {"delete of the updater", "[a]\nf=m::1\n[delete]\nupdate=\n"},
        {"delete of update.ini", "[a]\nf=m::1\n[delete]\nupdate.ini=\n"},
        {"delete of mirrors.ini", "[a]\nf=m::1\n[delete]\nmirrors.ini=\n"}};
    for (const auto& r : refused)
        QTest::newRow(r.first) << r.second << "!";
}

void TestTaskSpecification::readIndex()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);

    const QString path = text.isNull() ? dir.filePath("no-such-index.ini") : writeIndex(text);
    TaskSpecification spec;
    QCOMPARE(spec.initializeByProductIni(path), expected != "!");
    if (expected == "!")
        return;
    const QStringList entries = expected.split(' ', Qt::SkipEmptyParts);
    QCOMPARE(describeAll(spec), entries);
    quint64 total = 0;
    for (const QString& e : entries)
        total += e.section('|', 3, 3).toULongLong();
    QCOMPARE(spec.getTotalSize(), total);
    for (int i = 0; i < spec.getSize(); ++i)
        QCOMPARE(spec.getFlags(i), 0u);
}

void TestTaskSpecification::initializeAppendsAndKeepsEntriesOnFailure()
{
    TaskSpecification spec;
    QVERIFY(spec.initializeByProductIni(writeIndex("[a]\nf=m::5\n")));
    QVERIFY(spec.initializeByProductIni(writeIndex("[b]\ng=n::7\n")));
    QVERIFY(!spec.initializeByProductIni(writeIndex("[c]\nh=m::5\n[d]\ni=m::1::x\n")));
    QCOMPARE(describeAll(spec), (QStringList{"a|f|m|5", "b|g|n|7", "c|h|m|5"}));
    QCOMPARE(spec.getTotalSize(), quint64(17));
}

void TestTaskSpecification::getContracts()
{
    TaskSpecification spec = specOf({"a|f|m1|5", "b|g.gz|m2|7|u2|9|g"}, 5);
    QString directory = "keep", name = "keep", md5 = "keep";
    quint64 size = 42;
    FileSpecification e;
    for (int bad : {-1, 2}) {
        QVERIFY(!spec.get(bad, &directory, &name, &md5, &size));
        QVERIFY(!spec.get(bad, &e) && !spec.get(bad, nullptr));
    }
    QCOMPARE(directory + name + md5 + QString::number(size) + e.name, QString("keepkeepkeep42"));
    QVERIFY(spec.get(1, nullptr) && spec.get(1, nullptr, nullptr, nullptr, nullptr));
    QVERIFY(spec.get(1, &directory, nullptr, &md5, nullptr));
    QVERIFY(spec.get(1, nullptr, &name, nullptr, &size));
    QCOMPARE(directory + name + md5 + QString::number(size), QString("bg.gzm27"));
    QVERIFY(spec.get(1, &e));
    QCOMPARE(describe(e), QString("b|g.gz|m2|7|u2|9|g"));
    spec.resetFlags(4);
    QCOMPARE(spec.getFlags(1), 1u);
}

void TestTaskSpecification::saveLoadRoundTrip_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty list") << QStringList() << QStringList();
    QTest::newRow("plain and packed")
        << QStringList{"a|f|m1|5", "b|lib/x.gz|m2|18446744073709551615|u2|77|lib/x.so"}
        << QStringList{"a|f|m1|5", "b|lib/x.gz|m2|18446744073709551615|u2|77|lib/x.so"};
    QTest::newRow("unpacked fields without a name are dropped")
        << QStringList{"a|f|m1|5|u1|9|"} << QStringList{"a|f|m1|5"};
    QTest::newRow("odd but storable texts")
        << QStringList{QString::fromUtf8("dä|with space/ü,comma|m|0"), "a|f=x;y|||u|0|n [1]"}
        << QStringList{QString::fromUtf8("dä|with space/ü,comma|m|0"), "a|f=x;y||0|u|0|n [1]"};
}

void TestTaskSpecification::saveLoadRoundTrip()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);

    TaskSpecification original = specOf(entries);
    for (int i = 0; i < entries.size(); ++i)
        original.setFlags(i, unsigned(i * 3 + 1));
    const QString path = dir.filePath(QString("state-%1.ini").arg(++counter));
    {
        QSettings settings(path, QSettings::IniFormat);
        original.save(&settings);
    }
    // Whatever the list held before is replaced.
    TaskSpecification restored = specOf({"z|stale|m|1000"});
    QSettings settings(path, QSettings::IniFormat);
    QVERIFY(restored.load(&settings));
    QCOMPARE(describeAll(restored), expected);
    QCOMPARE(restored.getTotalSize(), original.getTotalSize());
    for (int i = 0; i < restored.getSize(); ++i)
        QCOMPARE(restored.getFlags(i), unsigned(i * 3 + 1));
}

void TestTaskSpecification::loadStoredRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("five and eight fields")
        << QByteArray("[file]\n1\\v=3::a::f::m::5\n2\\v=0::b::g::n::7::u::9::h\nsize=2\n")
        << QStringList{"a|f|m|5", "b|g|n|7|u|9|h"};
    QTest::newRow("short records are skipped")
        << QByteArray("[file]\n1\\v=1::a::f::m\n2\\v=0::b::g::n::7\n3\\v=\nsize=3\n")
        << QStringList{"b|g|n|7"};
    QTest::newRow("six, seven and nine fields are not packed")
        << QByteArray("[file]\n1\\v=0::a::f::m::1::u\n2\\v=0::a::g::m::2::u::3\n"
                      "3\\v=0::a::h::m::4::u::5::n::x\nsize=3\n")
        << QStringList{"a|f|m|1", "a|g|m|2", "a|h|m|4"};
    QTest::newRow("count beyond the records")
        << QByteArray("[file]\n1\\v=0::a::f::m::1\nsize=3\n") << QStringList{"a|f|m|1"};
}

void TestTaskSpecification::loadStoredRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);

    QSettings settings(writeIndex(text), QSettings::IniFormat);
    TaskSpecification spec;
    QVERIFY(spec.load(&settings));
    QCOMPARE(describeAll(spec), expected);
    quint64 total = 0;
    for (const QString& e : expected)
        total += e.section('|', 3, 3).toULongLong();
    QCOMPARE(spec.getTotalSize(), total);
}

// Rows without "ok" must be refused and leave the settings as they were.
void TestTaskSpecification::writeProductIni_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("deletePaths");
    QTest::addColumn<bool>("ok");

    QTest::newRow("nothing") << QStringList() << QStringList() << true;
    QTest::newRow("plain, nested and packed")
        << QStringList{"data|logo.png|m1|10", "data|plugins/img/libjpeg.so|m2|20",
                       "bin|client.gz|m3|30|u3|90|vm3client_linux_x86"}
        << QStringList{"old.txt", "plugins/gone/libold.so"} << true;
    QTest::newRow("texts the INI syntax escapes")
        << QStringList{QString::fromUtf8("grp|ä ö/x=y;z[1].txt|m|1"),
                       "grp|comma,name|m|2|u|3|un,packed name", "grp|@at|@m|3"}
        << QStringList{"with space", "semi;colon"} << true;
    const QStringList unsafe{
        "a|../f|m|1",       "a|/f|m|1",   "a|x\\f|m|1",       "a|x\rf|m|1",      "a||m|1",
        "|f|m|1",           "..|f|m|1",   "a/b|f|m|1",        "delete|f|m|1",    "GENERAL|f|m|1",
        "a|f|m|1|u|2|../x", "a|f|m::x|1", "a|f|m|1|u::v|2|x", "a|f|m|1|u|2|x::y"};
    for (const QString& e : unsafe)
        QTest::newRow(qPrintable(QString(e).replace('\r', "\\r")))
            << QStringList{e} << QStringList() << false;
    QTest::newRow("duplicate entry") << QStringList{"a|f|m|1", "a|f|n|2"} << QStringList() << false;
    for (const QString& d : {"../x", "update", "update.ini", "mirrors.ini", ""})
        QTest::newRow(qPrintable("delete '" + d + "'"))
            << QStringList{"a|f|m|1"} << QStringList{"ok", d} << false;
}

void TestTaskSpecification::writeProductIni()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, deletePaths);
    QFETCH(bool, ok);

    const QString path = dir.filePath(QString("written-%1.ini").arg(++counter));
    QVERIFY(writeFile(path, "[keep]\nf=m::1\n"));
    {
        QSettings settings(path, QSettings::IniFormat);
        QCOMPARE(specOf(entries, 7).writeProductIni(&settings, deletePaths), ok);
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
        if (!ok)
            QCOMPARE(settings.allKeys(), QStringList{"keep/f"});
    }
    if (!ok)
        return;
    TaskSpecification read;
    QVERIFY(read.initializeByProductIni(path));
    QStringList got = describeAll(read);
    got.sort();
    entries.sort();
    QCOMPARE(got, entries);

    QSettings settings(path, QSettings::IniFormat);
    QStringList keys;
    QVERIFY(TaskSpecification::readDeleteKeys(&settings, &keys));
    keys.sort();
    deletePaths.sort();
    QCOMPARE(keys, deletePaths);
}

void TestTaskSpecification::deleteKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("flat and nested")
        << QByteArray("[delete]\nold.txt=\nlib\\libold.so=x\n[delete/sub]\ngone=\n") << true
        << QStringList{"lib/libold.so", "old.txt", "sub/gone"};
    QTest::newRow("the updater") << QByteArray("[delete]\nupdate=\nx=\n") << false
                                 << QStringList{"update", "x"};
    QTest::newRow("parent") << QByteArray("[delete]\n..\\x=\n") << false << QStringList{"../x"};
}

void TestTaskSpecification::deleteKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(QStringList, keys);

    QSettings settings(writeIndex(text), QSettings::IniFormat);
    QStringList got{"stale"};
    QCOMPARE(TaskSpecification::readDeleteKeys(&settings, &got), ok);
    got.sort();
    QCOMPARE(got, keys);
    QCOMPARE(TaskSpecification::readDeleteKeys(&settings, nullptr), ok);
    // The settings are left at the top level.
    QCOMPARE(settings.group(), QString());
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_session_taskspecification.moc"
