#include "producttree.h"
#include "taskspecification.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// The inverse of describeAll for one line; fields left out are empty.
FileSpecification entryFrom(const QString& line)
{
    const QStringList f = line.section('#', 0, 0).split('|') + QStringList(7);
    const unsigned int flags = line.section('#', 1).toUInt();
    return {flags, f[0], f[1], f[2], f[3].toULongLong(), f[4], f[5].toULongLong(), f[6]};
}

// Each entry as a line: directory|name|md5|size, then |unpackedMd5|unpackedSize|unpackedName for a
// packed one, then #flags when they are not 0.
QStringList describeAll(const TaskSpecification& fileList)
{
    QStringList lines;
    FileSpecification e;
    for (int i = 0; i < fileList.getSize() && fileList.get(i, &e); ++i) {
        QStringList fields{e.directory, e.name, e.md5, QString::number(e.size)};
        if (e.isPacked())
            fields << e.unpackedMd5 << QString::number(e.unpackedSize) << e.unpackedName;
        lines << fields.join('|') + (e.flags ? "#" + QString::number(e.flags) : QString());
    }
    return lines;
}

TaskSpecification listOf(const QStringList& lines)
{
    TaskSpecification fileList;
    for (const QString& line : lines)
        fileList.append(entryFrom(line));
    return fileList;
}

quint64 totalOf(const QStringList& lines)
{
    quint64 total = 0;
    for (const QString& line : lines)
        total += entryFrom(line).size;
    return total;
}

} // namespace

class TestTaskSpecification : public QObject
{
    Q_OBJECT

    QString writeIndex(const QByteArray& text)
    {
        const QString path = dir.filePath(QString("index-%1.ini").arg(++counter));
        return writeFile(path, text) ? path : QString();
    }
    QTemporaryDir dir;
    int counter = 0;

private slots:
    // Each index is read into a list that already holds "base|b|m|1": entries are appended.
    // Expected: the entries read, "!" first when the index is refused.
    void readIndex_data()
    {
        QTest::addColumn<QByteArray>("text"); // null: no such file
        QTest::addColumn<QString>("expected");
        QTest::newRow("files and a delete group")
            << QByteArray(
                   "[a]\nx=m1::10\ny=m2::200\n[delete]\nold=\nsub\\gone=1\n[b]\nz=m3::3000\n")
            << "a|x|m1|10 a|y|m2|200 b|z|m3|3000";
        QTest::newRow("nested key and subgroup section")
            << QByteArray("[a]\nf=m::1\np\\x.so=m::5\n[a/q]\ny.so=m::6\n")
            << "a|f|m|1 a|p/x.so|m|5 a|q/y.so|m|6";
        QTest::newRow("packed") << QByteArray("[a]\nlib.gz=pm::100::um::250::lib/libx.so\n")
                                << "a|lib.gz|pm|100|um|250|lib/libx.so";
        QTest::newRow("packed with empty name is plain")
            << QByteArray("[a]\nf=pm::100::um::250::\n") << "a|f|pm|100";
        QTest::newRow("empty fields") << QByteArray("[a]\nf=::\n") << "a|f||0";
        QTest::newRow("non-numeric length")
            << QByteArray("[a]\nf=m::12a\ng=m::-5\nh=m::x::um::7b::u\n")
            << "a|f|m|0 a|g|m|0 a|h|m|0|um|0|u";
        QTest::newRow("largest length")
            << QByteArray("[a]\nf=m::18446744073709551615\n") << "a|f|m|18446744073709551615";
        QTest::newRow("top-level keys are not files")
            << QByteArray("top=m::1\n[General]\ng=m::2\n[a]\nf=m::3\n") << "a|f|m|3";
        QTest::newRow("missing file") << QByteArray() << "";
        QTest::newRow("nested delete of update is fine")
            << QByteArray("[a]\nf=m::1\n[delete]\nold\\update=\n") << "a|f|m|1";
        QTest::newRow("entries before a bad one stay")
            << QByteArray("[a]\nf=m::5\n[b]\ng=m::1::x\n") << "! a|f|m|5";

        const QList<QPair<const char*, QByteArray>> refused = {
            {"one field", "[a]\nf=m\n"},
            {"six fields", "[a]\nf=m::1::x::2::u::\n"},
            {"trailing separator", "[a]\nf=m::1::\n"},
            {"parent directory group", "[..]\nf=m::1\n"},
            {"parent in name", "[a]\n..\\..\\etc\\passwd=m::1\n"},
            {"backslash in name", "[a]\n..%5Cf=m::1\n"},
            {"control character in name", "[a]\nf%0Ax=m::1\n"},
            {"absolute unpacked name", "[a]\nf=m::1::u::2::/etc/passwd\n"},
            {"NUL in unpacked name", "[a]\nf=@String(m::1::u::2::x\\0y)\n"},
            {"unsafe delete key", "[a]\nf=m::1\n[delete]\n..\\..\\x=\n"},
            {"unsafe delete in a subgroup", "[a]\nf=m::1\n[delete]\nx=\n[delete/s]\n..\\..\\x=\n"},
            {"delete of the updater", "[a]\nf=m::1\n[delete]\nupdate=\n"},
            {"delete of update.ini", "[a]\nf=m::1\n[delete]\nupdate.ini=\n"},
            {"delete of mirrors.ini", "[a]\nf=m::1\n[delete]\nmirrors.ini=\n"}};
        for (const auto& [name, text] : refused)
            QTest::newRow(name) << text << "!";
    }
    void readIndex()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, expected);
        QStringList entries = expected.split(' ', Qt::SkipEmptyParts);
        const bool refused = entries.value(0) == "!";
        if (refused)
            entries.removeFirst();
        entries.prepend("base|b|m|1");

        TaskSpecification fileList;
        QVERIFY(fileList.initializeByProductIni(writeIndex("[base]\nb=m::1\n")));
        QCOMPARE(fileList.initializeByProductIni(text.isNull() ? dir.filePath("none.ini")
                                                               : writeIndex(text)),
                 !refused);
        QCOMPARE(describeAll(fileList), entries);
        QCOMPARE(fileList.getTotalSize(), totalOf(entries));
    }

    void getContracts()
    {
        TaskSpecification fileList = listOf({"a|f|m1|5#5", "b|g.gz|m2|7|u2|9|g#5"});
        QString directory = "keep", name = "keep", md5 = "keep";
        quint64 size = 42;
        FileSpecification e;
        for (int bad : {-1, 2})
            QVERIFY(!fileList.get(bad, &directory, &name, &md5, &size) && !fileList.get(bad, &e) &&
                    !fileList.get(bad, nullptr));
        QCOMPARE(directory + name + md5 + QString::number(size) + e.name,
                 QString("keepkeepkeep42"));
        QVERIFY(fileList.get(1, nullptr) && fileList.get(1, nullptr, nullptr, nullptr, nullptr));
        QVERIFY(fileList.get(1, &directory, nullptr, &md5, nullptr));
        QVERIFY(fileList.get(1, nullptr, &name, nullptr, &size));
        QCOMPARE(directory + name + md5 + QString::number(size), QString("bg.gzm27"));
        fileList.resetFlags(4);
        QCOMPARE(describeAll(fileList), QStringList({"a|f|m1|5#1", "b|g.gz|m2|7|u2|9|g#1"}));
    }

    // What save() writes, or a stored text, read into a list that held something else.
    void load_data()
    {
        QTest::addColumn<QByteArray>("stored"); // null: what save() writes of the expected
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("saved empty list") << QByteArray() << QStringList();
        QTest::newRow("saved plain and packed")
            << QByteArray()
            << QStringList{"a|f|m1|5#1", "b|lib/x.gz|m2|18446744073709551615|u2|77|lib/x.so#4"};
        QTest::newRow("saved odd but storable texts")
            << QByteArray()
            << QStringList{QString::fromUtf8("dä|with space/ü,comma|m|0#7"),
                           "a|f=x;y||0|u|0|n [1]"};
        QTest::newRow("five and eight fields, short records skipped, count beyond the records")
            << QByteArray("[file]\n1\\v=3::a::f::m::5\n2\\v=1::a::f::m\n3\\v=\n"
                          "4\\v=0::b::g::n::7::u::9::h\nsize=6\n")
            << QStringList{"a|f|m|5#3", "b|g|n|7|u|9|h"};
        QTest::newRow("six, seven and nine fields are not packed")
            << QByteArray("[file]\n1\\v=0::a::f::m::1::u\n2\\v=0::a::g::m::2::u::3\n"
                          "3\\v=0::a::h::m::4::u::5::n::x\nsize=3\n")
            << QStringList{"a|f|m|1", "a|g|m|2", "a|h|m|4"};
    }
    void load()
    {
        QFETCH(QByteArray, stored);
        QFETCH(QStringList, expected);
        const QString path = dir.filePath(QString("state-%1.ini").arg(++counter));
        if (stored.isNull()) {
            QSettings settings(path, QSettings::IniFormat);
            listOf(expected).save(&settings);
        } else {
            QVERIFY(writeFile(path, stored));
        }
        TaskSpecification fileList = listOf({"z|stale|m|1000"});
        QSettings settings(path, QSettings::IniFormat);
        QVERIFY(fileList.load(&settings));
        QCOMPARE(describeAll(fileList), expected);
        QCOMPARE(fileList.getTotalSize(), totalOf(expected));
    }

    // Written indexes read back as written; refused ones leave the settings as they were.
    void writeProductIni_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("deletePaths");
        QTest::addColumn<bool>("ok");
        QTest::newRow("plain, nested, packed and texts the INI syntax escapes")
            << QStringList{"data|logo.png|m1|10",
                           "data|plugins/img/libjpeg.so|m2|20",
                           "bin|client.gz|m3|30|u3|90|vm3client_linux_x86",
                           QString::fromUtf8("grp|ä ö/x=y;z[1].txt|m|1"),
                           "grp|comma,name|m|2|u|3|un,packed name",
                           "grp|@at|@m|3"}
            << QStringList{"old.txt", "plugins/gone/libold.so", "with space", "semi;colon"} << true;
        for (const char* e :
             {"a|../f|m|1", "a/b|f|m|1", "delete|f|m|1", "GENERAL|f|m|1", "a|f|m|1|u|2|../x",
              "a|f|m::x|1", "a|f|m|1|u::v|2|x", "a|f|m|1|u|2|x::y"})
            QTest::newRow(e) << QStringList{e} << QStringList() << false;
        QTest::newRow("duplicate entry")
            << QStringList{"a|f|m|1", "a|f|n|2"} << QStringList() << false;
        for (const char* d : {"../x", "update"})
            QTest::addRow("delete '%s'", d)
                << QStringList{"a|f|m|1"} << QStringList{"ok", d} << false;
    }
    void writeProductIni()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, deletePaths);
        QFETCH(bool, ok);
        const QString path = writeIndex("[keep]\nf=m::1\n");
        {
            QSettings settings(path, QSettings::IniFormat);
            QCOMPARE(listOf(entries).writeProductIni(&settings, deletePaths), ok);
            settings.sync();
            QCOMPARE(settings.status(), QSettings::NoError);
        }
        // The delete paths are read back as they were given, replacing what the list held.
        QSettings settings(path, QSettings::IniFormat);
        TaskSpecification read;
        QStringList keys{"stale"};
        QVERIFY(read.initializeByProductIni(&settings));
        QVERIFY(TaskSpecification::readDeleteKeys(&settings, &keys));
        QStringList got = describeAll(read) + keys;
        QStringList expected = ok ? entries + deletePaths : QStringList{"keep|f|m|1"};
        got.sort();
        expected.sort();
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_session_taskspecification.moc"
