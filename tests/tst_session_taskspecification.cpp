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

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readIndex_data();
    void readIndex();
    void readFailureKeepsEarlierEntries();
    void initializeAppends();
    void getContracts();
    void resetFlagsClearsOnlyTheMask();
    void saveLoadRoundTrip_data();
    void saveLoadRoundTrip();
    void loadStoredRecords_data();
    void loadStoredRecords();
    void writeProductIniRoundTrip_data();
    void writeProductIniRoundTrip();
    void writeProductIniRefuses_data();
    void writeProductIniRefuses();
    void deleteKeys_data();
    void deleteKeys();
    void readsProductTreeIndex();

private:
    QString writeIndex(const QByteArray& text);
    QTemporaryDir dir;
    int counter = 0;
};

void TestTaskSpecification::initTestCase()
{
    QVERIFY(dir.isValid());
}

QString TestTaskSpecification::writeIndex(const QByteArray& text)
{
    const QString path = dir.filePath(QString("index-%1.ini").arg(++counter));
    return writeFile(path, text) ? path : QString();
}

void TestTaskSpecification::readIndex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<quint64>("total");

    QTest::newRow("three files and a delete group")
        << QByteArray("[a]\nx=m1::10\ny=m2::200\nz=m3::3000\n[delete]\nold=\nsub\\gone=1\n") << true
        << QStringList{"a|x|m1|10", "a|y|m2|200", "a|z|m3|3000"} << quint64(3210);
    QTest::newRow("several groups")
        << QByteArray("[bin]\nvm3client_linux_x86=m1::7\n[data]\nlogo.png=m2::8\n") << true
        << QStringList{"bin|vm3client_linux_x86|m1|7", "data|logo.png|m2|8"} << quint64(15);
    QTest::newRow("nested key") << QByteArray("[a]\nplugins\\x.so=m::5\n") << true
                                << QStringList{"a|plugins/x.so|m|5"} << quint64(5);
    QTest::newRow("subgroup section") << QByteArray("[a/plugins]\nx.so=m::5\n") << true
                                      << QStringList{"a|plugins/x.so|m|5"} << quint64(5);
    QTest::newRow("group and subgroup sections")
        << QByteArray("[a]\nf=m::1\n[a/plugins]\nx.so=m::5\n[b]\ng=m::2\n") << true
        << QStringList{"a|f|m|1", "a|plugins/x.so|m|5", "b|g|m|2"} << quint64(8);
    QTest::newRow("packed") << QByteArray("[a]\nlib.gz=pm::100::um::250::lib/libx.so\n") << true
                            << QStringList{"a|lib.gz|pm|100|um|250|lib/libx.so"} << quint64(100);
    QTest::newRow("packed with empty name is not packed")
        << QByteArray("[a]\nf=pm::100::um::250::\n") << true << QStringList{"a|f|pm|100"}
        << quint64(100);
    QTest::newRow("empty fields count")
        << QByteArray("[a]\nf=::\n") << true << QStringList{"a|f||0"} << quint64(0);
    QTest::newRow("non-numeric length")
        << QByteArray("[a]\nf=m::12a\ng=m::-5\nh=m::x::um::7b::u\n") << true
        << QStringList{"a|f|m|0", "a|g|m|0", "a|h|m|0|um|0|u"} << quint64(0);
    QTest::newRow("largest length")
        << QByteArray("[a]\nf=m::18446744073709551615\n") << true
        << QStringList{"a|f|m|18446744073709551615"} << quint64(18446744073709551615ULL);
    QTest::newRow("top-level keys are not files")
        << QByteArray("top=m::1\n[General]\ng=m::2\n[a]\nf=m::3\n") << true
        << QStringList{"a|f|m|3"} << quint64(3);
    QTest::newRow("empty file") << QByteArray("") << true << QStringList() << quint64(0);
    QTest::newRow("missing file") << QByteArray() << true << QStringList() << quint64(0);

    const QStringList none;
    QTest::newRow("one field") << QByteArray("[a]\nf=m\n") << false << none << quint64(0);
    QTest::newRow("three fields") << QByteArray("[a]\nf=m::1::x\n") << false << none << quint64(0);
    QTest::newRow("four fields") << QByteArray("[a]\nf=m::1::x::2\n") << false << none
                                 << quint64(0);
    QTest::newRow("six fields") << QByteArray("[a]\nf=m::1::x::2::u::\n") << false << none
                                << quint64(0);
    QTest::newRow("trailing separator")
        << QByteArray("[a]\nf=m::1::\n") << false << none << quint64(0);
    QTest::newRow("single colons") << QByteArray("[a]\nf=m:1\n") << false << none << quint64(0);
    QTest::newRow("unquoted comma") << QByteArray("[a]\nf=m::1,2\n") << false << none << quint64(0);

    // Paths a mirror must not be able to reach.
    QTest::newRow("parent directory group")
        << QByteArray("[..]\nf=m::1\n") << false << none << quint64(0);
    QTest::newRow("parent in name")
        << QByteArray("[a]\n..\\..\\etc\\passwd=m::1\n") << false << none << quint64(0);
    QTest::newRow("current directory in name")
        << QByteArray("[a]\n.\\f=m::1\n") << false << none << quint64(0);
    QTest::newRow("backslash in name")
        << QByteArray("[a]\n..%5Cf=m::1\n") << false << none << quint64(0);
    QTest::newRow("control character in name")
        << QByteArray("[a]\nf%0Ax=m::1\n") << false << none << quint64(0);
    QTest::newRow("NUL in name") << QByteArray("[a]\nf%00x=m::1\n") << false << none << quint64(0);
    QTest::newRow("absolute unpacked name")
        << QByteArray("[a]\nf=m::1::u::2::/etc/passwd\n") << false << none << quint64(0);
    QTest::newRow("parent in unpacked name")
        << QByteArray("[a]\nf=m::1::u::2::x/../../y\n") << false << none << quint64(0);
    QTest::newRow("unpacked name is the current directory")
        << QByteArray("[a]\nf=m::1::u::2::.\n") << false << none << quint64(0);
    QTest::newRow("backslash in unpacked name")
        << QByteArray("[a]\nf=m::1::u::2::..\\\\x\n") << false << none << quint64(0);
    QTest::newRow("control character in unpacked name")
        << QByteArray("[a]\nf=m::1::u::2::x\\ty\n") << false << none << quint64(0);
    QTest::newRow("NUL in unpacked name")
        << QByteArray("[a]\nf=@String(m::1::u::2::x\\0y)\n") << false << none << quint64(0);
    QTest::newRow("empty component in unpacked name")
        << QByteArray("[a]\nf=m::1::u::2::x//y\n") << false << none << quint64(0);
    QTest::newRow("unsafe delete key in a subgroup section")
        << QByteArray("[a]\nf=m::1\n[delete]\nx=\n[delete/sub]\n..\\..\\x=\n") << false << none
        << quint64(0);
    QTest::newRow("unsafe delete key")
        << QByteArray("[a]\nf=m::1\n[delete]\n..\\..\\x=\n") << false << none << quint64(0);
    QTest::newRow("delete removes the updater")
        << QByteArray("[a]\nf=m::1\n[delete]\nupdate=\n") << false << none << quint64(0);
    QTest::newRow("delete removes update.ini")
        << QByteArray("[a]\nf=m::1\n[delete]\nupdate.ini=\n") << false << none << quint64(0);
    QTest::newRow("delete removes mirrors.ini")
        << QByteArray("[a]\nf=m::1\n[delete]\nmirrors.ini=\n") << false << none << quint64(0);
    QTest::newRow("delete key with control character")
        << QByteArray("[delete]\nx%1By=\n") << false << none << quint64(0);
    QTest::newRow("delete key with backslash")
        << QByteArray("[delete]\nx%5Cy=\n") << false << none << quint64(0);
    QTest::newRow("delete of a nested update is fine")
        << QByteArray("[a]\nf=m::1\n[delete]\nold\\update=\n") << true << QStringList{"a|f|m|1"}
        << quint64(1);
}

void TestTaskSpecification::readIndex()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(QStringList, entries);
    QFETCH(quint64, total);

    const QString path = text.isNull() ? dir.filePath("no-such-index.ini") : writeIndex(text);
    QVERIFY(!path.isEmpty());
    TaskSpecification spec;
    QCOMPARE(spec.initializeByProductIni(path), ok);
    if (!ok)
        return;
    QCOMPARE(describeAll(spec), entries);
    QCOMPARE(spec.getTotalSize(), total);
    for (int i = 0; i < spec.getSize(); ++i)
        QCOMPARE(spec.getFlags(i), 0u);
}

void TestTaskSpecification::readFailureKeepsEarlierEntries()
{
    TaskSpecification spec;
    QVERIFY(!spec.initializeByProductIni(writeIndex("[a]\nf=m::5\n[b]\ng=m::1::x\n")));
    QCOMPARE(describeAll(spec), QStringList{"a|f|m|5"});
    QCOMPARE(spec.getTotalSize(), quint64(5));
}

void TestTaskSpecification::initializeAppends()
{
    TaskSpecification spec;
    QVERIFY(spec.initializeByProductIni(writeIndex("[a]\nf=m::5\n")));
    QVERIFY(spec.initializeByProductIni(writeIndex("[b]\ng=n::7\n")));
    QCOMPARE(describeAll(spec), (QStringList{"a|f|m|5", "b|g|n|7"}));
    QCOMPARE(spec.getTotalSize(), quint64(12));
}

void TestTaskSpecification::getContracts()
{
    TaskSpecification spec;
    spec.append(entryFrom("a|f|m1|5"));
    spec.append(entryFrom("b|g.gz|m2|7|u2|9|g", 5));
    QCOMPARE(spec.getSize(), 2);
    QCOMPARE(spec.getTotalSize(), quint64(12));

    QString directory = "keep", name = "keep", md5 = "keep";
    quint64 size = 42;
    FileSpecification untouched;
    untouched.name = "keep";
    for (int bad : {-1, 2, 100}) {
        QVERIFY(!spec.get(bad, &directory, &name, &md5, &size));
        QVERIFY(!spec.get(bad, &untouched));
        QVERIFY(!spec.get(bad, nullptr));
    }
    QCOMPARE(directory, QString("keep"));
    QCOMPARE(size, quint64(42));
    QCOMPARE(untouched.name, QString("keep"));

    QVERIFY(spec.get(0, nullptr));
    QVERIFY(spec.get(1, nullptr));
    QVERIFY(spec.get(1, nullptr, nullptr, nullptr, nullptr));
    QVERIFY(spec.get(1, &directory, nullptr, &md5, nullptr));
    QCOMPARE(directory, QString("b"));
    QCOMPARE(md5, QString("m2"));
    QCOMPARE(name, QString("keep"));
    QVERIFY(spec.get(1, nullptr, &name, nullptr, &size));
    QCOMPARE(name, QString("g.gz"));
    QCOMPARE(size, quint64(7));

    FileSpecification e;
    QVERIFY(spec.get(1, &e));
    QCOMPARE(describe(e), QString("b|g.gz|m2|7|u2|9|g"));
    QCOMPARE(e.flags, 5u);
    QCOMPARE(e.mirrorPath(), QString("b/g.gz"));
    QCOMPARE(e.installedPath(), QString("g"));
}

void TestTaskSpecification::resetFlagsClearsOnlyTheMask()
{
    TaskSpecification spec;
    const unsigned int flags[] = {0, 1, 2, 3, 4, 5, 6, 7};
    for (unsigned int f : flags)
        spec.append(entryFrom("a|f|m|1", f));
    spec.resetFlags(5);
    for (int i = 0; i < spec.getSize(); ++i)
        QCOMPARE(spec.getFlags(i), flags[i] & 2u);
    spec.setFlags(3, 6);
    spec.resetFlags(7);
    for (int i = 0; i < spec.getSize(); ++i)
        QCOMPARE(spec.getFlags(i), 0u);
}

void TestTaskSpecification::saveLoadRoundTrip_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QList<unsigned int>>("flags");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty list") << QStringList() << QList<unsigned int>() << QStringList();
    QTest::newRow("plain and packed")
        << QStringList{"a|f|m1|5", "b|lib/x.gz|m2|18446744073709551615|u2|77|lib/x.so"}
        << QList<unsigned int>{0, 7}
        << QStringList{"a|f|m1|5", "b|lib/x.gz|m2|18446744073709551615|u2|77|lib/x.so"};
    QTest::newRow("unpacked fields without a name are dropped")
        << QStringList{"a|f|m1|5|u1|9|"} << QList<unsigned int>{4} << QStringList{"a|f|m1|5"};
    QTest::newRow("odd but storable texts")
        << QStringList{QString::fromUtf8("dä|with space/ü,comma|m|0"), "a|f=x;y|||u|0|n [1]"}
        << QList<unsigned int>{1, 2}
        << QStringList{QString::fromUtf8("dä|with space/ü,comma|m|0"), "a|f=x;y||0|u|0|n [1]"};
}

void TestTaskSpecification::saveLoadRoundTrip()
{
    QFETCH(QStringList, entries);
    QFETCH(QList<unsigned int>, flags);
    QFETCH(QStringList, expected);

    TaskSpecification original;
    for (int i = 0; i < entries.size(); ++i)
        original.append(entryFrom(entries[i], flags[i]));
    const QString path = dir.filePath(QString("state-%1.ini").arg(++counter));
    {
        QSettings settings(path, QSettings::IniFormat);
        original.save(&settings);
    }

    TaskSpecification restored;
    // Whatever it held before is replaced.
    restored.append(entryFrom("z|stale|m|1000"));
    {
        QSettings settings(path, QSettings::IniFormat);
        QVERIFY(restored.load(&settings));
    }
    QCOMPARE(describeAll(restored), expected);
    QCOMPARE(restored.getTotalSize(), original.getTotalSize());
    for (int i = 0; i < restored.getSize(); ++i)
        QCOMPARE(restored.getFlags(i), flags[i]);
}

void TestTaskSpecification::loadStoredRecords_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<quint64>("total");

    QTest::newRow("five and eight fields")
        << QByteArray("[file]\n1\\v=3::a::f::m::5\n2\\v=0::b::g::n::7::u::9::h\nsize=2\n")
        << QStringList{"a|f|m|5", "b|g|n|7|u|9|h"} << quint64(12);
    QTest::newRow("short records are skipped")
        << QByteArray("[file]\n1\\v=1::a::f::m\n2\\v=0::b::g::n::7\n3\\v=\n4\\v=9\nsize=4\n")
        << QStringList{"b|g|n|7"} << quint64(7);
    QTest::newRow("six, seven and nine fields are not packed")
        << QByteArray("[file]\n1\\v=0::a::f::m::1::u\n2\\v=0::a::g::m::2::u::3\n"
                      "3\\v=0::a::h::m::4::u::5::n::x\nsize=3\n")
        << QStringList{"a|f|m|1", "a|g|m|2", "a|h|m|4"} << quint64(7);
    QTest::newRow("no array") << QByteArray("") << QStringList() << quint64(0);
    QTest::newRow("count beyond the records") << QByteArray("[file]\n1\\v=0::a::f::m::1\nsize=3\n")
                                              << QStringList{"a|f|m|1"} << quint64(1);
}

void TestTaskSpecification::loadStoredRecords()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, expected);
    QFETCH(quint64, total);

    QSettings settings(writeIndex(text), QSettings::IniFormat);
    TaskSpecification spec;
    QVERIFY(spec.load(&settings));
    QCOMPARE(describeAll(spec), expected);
    QCOMPARE(spec.getTotalSize(), total);
}

void TestTaskSpecification::writeProductIniRoundTrip_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("deletePaths");

    QTest::newRow("nothing") << QStringList() << QStringList();
    QTest::newRow("plain, nested and packed")
        << QStringList{"data|logo.png|m1|10", "data|plugins/img/libjpeg.so|m2|20",
                       "bin|client.gz|m3|30|u3|90|vm3client_linux_x86"}
        << QStringList{"old.txt", "plugins/gone/libold.so"};
    QTest::newRow("texts the INI syntax escapes")
        << QStringList{QString::fromUtf8("grp|ä ö/x=y;z[1].txt|m|1"),
                       "grp|comma,name|m|2|u|3|un,packed name", "grp|@at|@m|3"}
        << QStringList{"with space", "semi;colon"};
    QTest::newRow("packed without a name is plain") << QStringList{"a|f|m|1|u|2|"} << QStringList();
}

void TestTaskSpecification::writeProductIniRoundTrip()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, deletePaths);

    TaskSpecification written;
    QStringList expected;
    for (const QString& line : entries) {
        const FileSpecification e = entryFrom(line, 7);
        written.append(e);
        expected << describe(e);
    }
    const QString path = dir.filePath(QString("written-%1.ini").arg(++counter));
    QVERIFY(writeFile(path, "[stale]\nold=m::1\n"));
    {
        QSettings settings(path, QSettings::IniFormat);
        QVERIFY(written.writeProductIni(&settings, deletePaths));
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }

    TaskSpecification read;
    QVERIFY(read.initializeByProductIni(path));
    QStringList got = describeAll(read);
    got.sort();
    expected.sort();
    QCOMPARE(got, expected);
    QCOMPARE(read.getTotalSize(), written.getTotalSize());

    QSettings settings(path, QSettings::IniFormat);
    QStringList keys;
    QVERIFY(TaskSpecification::readDeleteKeys(&settings, &keys));
    keys.sort();
    deletePaths.sort();
    QCOMPARE(keys, deletePaths);
}

void TestTaskSpecification::writeProductIniRefuses_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("deletePaths");

    const QStringList fine{"a|f|m|1"};
    QTest::newRow("parent in name") << QStringList{"a|../f|m|1"} << QStringList();
    QTest::newRow("absolute name") << QStringList{"a|/f|m|1"} << QStringList();
    QTest::newRow("backslash in name") << QStringList{"a|x\\f|m|1"} << QStringList();
    QTest::newRow("control character in name") << QStringList{"a|x\rf|m|1"} << QStringList();
    QTest::newRow("empty name") << QStringList{"a||m|1"} << QStringList();
    QTest::newRow("empty directory") << QStringList{"|f|m|1"} << QStringList();
    QTest::newRow("parent directory") << QStringList{"..|f|m|1"} << QStringList();
    QTest::newRow("nested directory") << QStringList{"a/b|f|m|1"} << QStringList();
    QTest::newRow("the delete group") << QStringList{"delete|f|m|1"} << QStringList();
    QTest::newRow("the General section") << QStringList{"GENERAL|f|m|1"} << QStringList();
    QTest::newRow("unsafe unpacked name") << QStringList{"a|f|m|1|u|2|../x"} << QStringList();
    QTest::newRow("separator in md5") << QStringList{"a|f|m::x|1"} << QStringList();
    QTest::newRow("separator in unpacked md5") << QStringList{"a|f|m|1|u::v|2|x"} << QStringList();
    QTest::newRow("separator in unpacked name") << QStringList{"a|f|m|1|u|2|x::y"} << QStringList();
    QTest::newRow("duplicate entry") << QStringList{"a|f|m|1", "a|f|n|2"} << QStringList();
    QTest::newRow("unsafe delete path") << fine << QStringList{"../x"};
    QTest::newRow("delete of the updater") << fine << QStringList{"update"};
    QTest::newRow("delete of update.ini") << fine << QStringList{"ok", "update.ini"};
    QTest::newRow("delete of mirrors.ini") << fine << QStringList{"mirrors.ini"};
    QTest::newRow("empty delete path") << fine << QStringList{""};
}

void TestTaskSpecification::writeProductIniRefuses()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, deletePaths);

    TaskSpecification spec;
    for (const QString& line : entries)
        spec.append(entryFrom(line));
    const QString path = dir.filePath(QString("refused-%1.ini").arg(++counter));
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue("keep/f", "m::1");
    QVERIFY(!spec.writeProductIni(&settings, deletePaths));
    // A refused index leaves the settings as they were.
    QCOMPARE(settings.allKeys(), QStringList{"keep/f"});
}

void TestTaskSpecification::deleteKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("none") << QByteArray("[a]\nf=m::1\n") << true << QStringList();
    QTest::newRow("flat and nested")
        << QByteArray("[delete]\nold.txt=\nlib\\libold.so=x\n[delete/sub]\ngone=\n") << true
        << QStringList{"lib/libold.so", "old.txt", "sub/gone"};
    QTest::newRow("nested names of the updater's files")
        << QByteArray("[delete]\nold\\update=\nold\\update.ini=\nold\\mirrors.ini=\n") << true
        << QStringList{"old/mirrors.ini", "old/update", "old/update.ini"};
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

// The test fixture writes indexes on its own; the reader must understand them.
void TestTaskSpecification::readsProductTreeIndex()
{
    ProductTree tree;
    tree.add("base", "vm3client_linux_x86", "client")
        .add("base", "plugins/libx.so", ProductTree::randomBytes(3000, 5))
        .addPacked("packed", "data.bin.gz", "data/data.bin", QByteArray(5000, 'd'));
    tree.deletePaths << "old/file";
    const QString versionDir = tree.write(dir.filePath("mirror"), "12", "vm3");

    TaskSpecification spec;
    QVERIFY(spec.initializeByProductIni(versionDir + "/vm3.ini"));
    QCOMPARE(spec.getSize(), tree.files.size());
    QCOMPARE(spec.getTotalSize(), tree.totalMirrorSize());
    for (const ProductFile& f : tree.files) {
        bool found = false;
        for (int i = 0; i < spec.getSize(); ++i) {
            FileSpecification e;
            QVERIFY(spec.get(i, &e));
            if (e.mirrorPath() != f.mirrorPath())
                continue;
            found = true;
            QCOMPARE(e.installedPath(), f.installedPath());
            QCOMPARE(e.md5, ProductTree::md5(tree.mirrorBytes(f)));
            QCOMPARE(e.isPacked(), f.packed);
            if (f.packed) {
                QCOMPARE(e.unpackedMd5, ProductTree::md5(f.content));
                QCOMPARE(e.unpackedSize, quint64(f.content.size()));
            }
        }
        QVERIFY2(found, qPrintable(f.mirrorPath()));
    }
}

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_session_taskspecification.moc"
