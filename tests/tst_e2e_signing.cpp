#include "installation.h"
#include "producttree.h"
#include "testservers.h"
#include "udpresponder.h"

#include <QtTest>

// Signed indexes through the real updater against nginx, with keys made by openssl for this run;
// signatures made by openssl and by update-publish, each checked by the other side.

namespace
{

const QString clientType = QStringLiteral("client_linux_x86");
const QString productIndex = clientType + ".ini";
const QString refused = QStringLiteral("Index signature from mirror0 is missing or not valid.");
const QString notSigned = "Updates are not signed: there is no update.pub in the installation "
                          "directory.";

bool openssl(const QStringList& arguments)
{
    return QProcess::execute("openssl", arguments) == 0;
}

QString installedVersion(const Installation& i)
{
    const QSettings settings(i.path("update.ini"), QSettings::IniFormat);
    return settings.value("installed/version").toString();
}

QByteArray message(const QString& type, const QString& version, const QByteArray& index)
{
    return "voxmere-index-v1\n" + type.toUtf8() + "\n" + version.toUtf8() + "\n" + index;
}

} // namespace

class SigningEndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void signedIndex_data();
    void signedIndex();

private:
    QString key(const QString& name) const { return keys.filePath(name); }
    // openssl's signature of the bytes by the private key name.pem.
    QByteArray sign(const QString& name, const QByteArray& signedBytes) const
    {
        const bool made = writeFile(key("message"), signedBytes) &&
                          openssl({"pkeyutl", "-sign", "-rawin", "-inkey", key(name + ".pem"),
                                   "-in", key("message"), "-out", key("signature")});
        return made ? readFile(key("signature")) : QByteArray();
    }

    QTemporaryDir mirrorRoot, keys;
    NginxServer nginx;
    UdpResponder responder;
    int caseCount = 0;
};

void SigningEndToEndTest::initTestCase()
{
    QVERIFY(mirrorRoot.isValid() && keys.isValid());
    for (const QString name : {"a", "b", "rsa"}) {
        QVERIFY(openssl({"genpkey", "-algorithm", name == "rsa" ? "rsa" : "ed25519", "-out",
                         key(name + ".pem")}));
        QVERIFY(
            openssl({"pkey", "-in", key(name + ".pem"), "-pubout", "-out", key(name + ".pub")}));
    }
    QVERIFY(writeFile(key("junk.pub"), "-----BEGIN PUBLIC KEY-----\nnot a key\n"));
    QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.output()));
    responder.setReply("1,1,1");
}

void SigningEndToEndTest::signedIndex_data()
{
    // "trusted;signer;setup": the keys in update.pub (a, b, rsa, junk text; none: no file), the
    // key that signs (none: no signature), what else the row does.
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("logText");
    QTest::addColumn<int>("installed"); // the version the installation holds afterwards
    const QString unusable = "The trusted key file update.pub cannot be used: ";
    QTest::newRow("signed and good") << "a;a;" << 0 << "" << 2;
    QTest::newRow("one byte of the index changed") << "a;a;byte" << 2 << refused << 1;
    QTest::newRow("signature of another version") << "a;a;version" << 2 << refused << 1;
    QTest::newRow("signature of another type") << "a;a;type" << 2 << refused << 1;
    QTest::newRow("signature cut short") << "a;a;short" << 2 << refused << 1;
    QTest::newRow("no signature") << "a;;" << 2 << refused << 1;
    QTest::newRow("signed by an untrusted key") << "a;b;" << 2 << refused << 1;
    QTest::newRow("update.pub without a key") << "junk;a;" << 1 << unusable << 1;
    QTest::newRow("update.pub with an RSA key only") << "rsa;a;" << 1 << unusable << 1;
    QTest::newRow("two keys, the first signs") << "a b;a;" << 0 << "" << 2;
    QTest::newRow("two keys, the second signs") << "rsa a b;b;" << 0 << "" << 2;
    QTest::newRow("bad first mirror, good second") << "a;a;failover" << 0 << refused << 2;
    QTest::newRow("no update.pub") << ";;" << 0 << notSigned << 2;
    QTest::newRow("signed by update-publish") << "a;a;publisher" << 0 << "" << 2;
    QTest::newRow("downgrade from the server refused")
        << "a;a;server" << 0 << "Version 1 is older than the installed version 2." << 2;
    QTest::newRow("downgrade on the command line") << "a;a;command" << 0 << "" << 1;
}

void SigningEndToEndTest::signedIndex()
{
    QFETCH(QString, row);
    QFETCH(int, exitCode);
    QFETCH(QString, logText);
    QFETCH(int, installed);
    const QString trusted = row.section(';', 0, 0), signer = row.section(';', 1, 1),
                  setup = row.section(';', 2, 2);
    const QString caseName = QString("case%1").arg(++caseCount);
    const QString caseDir = mirrorRoot.path() + "/" + caseName;
    Installation inst;
    QVERIFY(inst.create());
    inst.writeSettings(2, QString("127.0.0.1:%1").arg(responder.port()));
    QVERIFY(inst.install(clientProduct(1)));
    for (const QString& name : trusted.split(' ', Qt::SkipEmptyParts))
        QVERIFY(writeFile(inst.path("update.pub"),
                          readFile(inst.path("update.pub")) + readFile(key(name + ".pub"))));

    // Versions 1 and 2, signed as the row says, below good/; for failover also below bad/,
    // signed there by a key the installation does not trust.
    for (const QString& root :
         setup == "failover" ? QStringList{"bad", "good"} : QStringList{"good"})
        for (const int version : {1, 2}) {
            const QString dir = clientProduct(version).write(caseDir + "/" + root,
                                                             QString::number(version), clientType);
            QByteArray index = readFile(dir + "/" + productIndex);
            if (signer.isEmpty())
                continue;
            const QByteArray signature =
                sign(root == "bad" ? "b" : signer,
                     message(setup == "type" ? "client_win32" : clientType,
                             setup == "version" ? "3" : QString::number(version), index));
            QVERIFY(writeFile(dir + "/" + productIndex + ".sig",
                              setup == "short" ? signature.left(63) : signature));
            index[index.size() / 2] = char(index.at(index.size() / 2) ^ 1);
            if (setup == "byte")
                QVERIFY(writeFile(dir + "/" + productIndex, index));
        }
    if (setup == "publisher") {
        const QString source = inst.root() + "/release";
        for (const ProductFile& f : clientProduct(2).files)
            QVERIFY(writeFile(source + "/" + f.installedPath(), f.content));
        QProcess publish;
        publish.start(UPDATE_PUBLISH_BINARY,
                      {"--quiet", "--replace", "--pack", "*.pak", "--delete", "old_notes.txt",
                       "--sign-key", key("a.pem"), source, caseDir + "/good", "2", clientType});
        QVERIFY(publish.waitForFinished(30000) && publish.exitCode() == 0);
        const QString index = caseDir + "/good/2/" + productIndex;
        QVERIFY(writeFile(key("message"), message(clientType, "2", readFile(index))));
        QVERIFY(openssl({"pkeyutl", "-verify", "-pubin", "-inkey", key("a.pub"), "-rawin", "-in",
                         key("message"), "-sigfile", index + ".sig"}));
        QCOMPARE(readFile(index + ".sig"), sign("a", readFile(key("message"))));
    }
    makeTreeWorldReadable(mirrorRoot.path());
    const QString base = nginx.baseUrl() + "/" + caseName;
    QList<Installation::Mirror> mirrors{{base + "/good/"}};
    if (setup == "failover")
        mirrors.prepend({base + "/bad/"});
    inst.writeMirrors(mirrors);

    Installation::Run run = inst.run({"--nouser", clientType, "2"});
    if (setup == "server" || setup == "command") {
        // First version 2 from the command line; then version 1, from the server or the user.
        QVERIFY2(run.exitCode == 0 && installedVersion(inst) == "2", qPrintable(run.errorOutput));
        run = setup == "server" ? inst.run({"--nouser"}) : inst.run({"--nouser", clientType, "1"});
    }
    QVERIFY2(run.finished && run.exitCode == exitCode && run.errorOutput.contains(logText),
             qPrintable(run.errorOutput));
    QCOMPARE(run.errorOutput.count(notSigned), trusted.isEmpty() ? 1 : 0);
    const ProductTree expected = clientProduct(installed);
    QCOMPARE(exitCode == 0 ? inst.finishedWith(expected) : inst.compareWith(expected), QString());
    QCOMPARE(installedVersion(inst), exitCode == 0 ? QString::number(installed) : QString());
    // Without a good signature nothing is downloaded (after failover, files may still come from
    // the refused mirror: each is checked against the signed index).
    const QStringList fetched = pathsBelow(nginx.requestedPaths(), "/" + caseName + "/");
    QCOMPARE(!fetched.filter(".ini.sig").isEmpty(), !trusted.isEmpty() && exitCode != 1);
    QCOMPARE(fetched.filter("good/2/files/").isEmpty(), exitCode != 0);
    QCOMPARE(fetched.filter("good/1/").isEmpty(), setup != "command");
}

QTEST_GUILESS_MAIN(SigningEndToEndTest)
#include "tst_e2e_signing.moc"
