// The version check's form and the update server's reply, without a network.
#include "common/testsupport.h"
#include "platform/platform.h"
#include "servers.h"
#include "update/archive.h"
#include "update/signature.h"
#include "update/updateprotocol.h"

class TestUpdateProtocol : public QObject
{
    Q_OBJECT

private slots:
    void updateBlocked_data();
    void updateBlocked();
    void formBody_data();
    void formBody();
    void vncId_data();
    void vncId();
    void vncIdFromDriveC_data();
    void vncIdFromDriveC();
    void reply_data();
    void reply();
    void ownVersion();
    void serverUrl_data();
    void serverUrl();
    void signature_data();
    void signature();
    void retryAfterFailure_data();
    void retryAfterFailure();
    void archiveListing_data();
    void archiveListing();
    void unpack_data();
    void unpack();

private:
    QTemporaryDir keyDir;
};

void TestUpdateProtocol::formBody_data()
{
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<QString>("vncId");
    QTest::addColumn<QString>("staj");
    QTest::addColumn<int>("dsystem");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("plain") << "u1"
                           << "1234"
                           << "Farma" << 3 << QByteArray("x64=0&uuid=u1&vnc_id=1234&staj=Farma&dsystem=3");
    QTest::newRow("braced uuid") << "{0b5e3c1a-9d2f-4e61-8a70-1c2d3e4f5a6b}"
                                 << ""
                                 << "" << 0
                                 << QByteArray(
                                        "x64=0&uuid=%7B0b5e3c1a-9d2f-4e61-8a70-1c2d3e4f5a6b%7D&vnc_id=&staj=&"
                                        "dsystem=0");
    QTest::newRow("blanks and diacritics stay as they are")
        << "u"
        << ""
        << "Statek U Lípy" << 6 << QByteArray("x64=0&uuid=u&vnc_id=&staj=Statek U L\xc3\xadpy&dsystem=6");
    QTest::newRow("delimiters in the farm name are encoded")
        << "u"
        << ""
        << "A&B=C" << 7 << QByteArray("x64=0&uuid=u&vnc_id=&staj=A%26B%3DC&dsystem=7");
    QTest::newRow("percent sign") << "u"
                                  << ""
                                  << "50%" << 1 << QByteArray("x64=0&uuid=u&vnc_id=&staj=50%25&dsystem=1");
    QTest::newRow("documented example") << "{5f0c8a52-1d3e-4b7a-9c21-0e6f4d8b9a13}"
                                        << "5678"
                                        << "Statek U Lípy & syn +1" << 3
                                        << QByteArray("x64=0&uuid=%7B5f0c8a52-1d3e-4b7a-9c21-0e6f4d8b9a13%7D&"
                                                      "vnc_id=5678&staj=Statek U L\xc3\xadpy %26 "
                                                      "syn %2B1&dsystem=3");
    QTest::newRow("plus is not read as a blank")
        << "u"
        << ""
        << "Agro+" << 2 << QByteArray("x64=0&uuid=u&vnc_id=&staj=Agro%2B&dsystem=2");
}

void TestUpdateProtocol::formBody()
{
    QFETCH(QString, uuid);
    QFETCH(QString, vncId);
    QFETCH(QString, staj);
    QFETCH(int, dsystem);
    QFETCH(QByteArray, body);
    QCOMPARE(update::versionCheckBody(uuid, vncId, staj, dsystem), body);
}

void TestUpdateProtocol::vncId_data()
{
    QTest::addColumn<QList<QByteArray>>("configs");
    QTest::addColumn<QString>("id");

    const QByteArray typical =
        "[admin]\r\nservice_commandline=-autoreconnect ID:1234 -connect repeater.example:5901\r\n"
        "loopback=0\r\n";
    QTest::newRow("ID:1234 gives 1234") << QList<QByteArray>{typical} << "1234";
    QTest::newRow("no colon: sent whole")
        << QList<QByteArray>{"service_commandline=-id -ID1234 -x\n"} << "-ID1234";
    QTest::newRow("last piece with ID wins") << QList<QByteArray>{"service_commandline=ID:1 ID:2\n"} << "2";
    QTest::newRow("second file wins")
        << QList<QByteArray>{typical, "service_commandline=-autoreconnect ID:5678\n"} << "5678";
    QTest::newRow("second file without an ID keeps the first")
        << QList<QByteArray>{typical, "[admin]\nservice_commandline=-autoreconnect\n"} << "1234";
    QTest::newRow("more colons: the second piece")
        << QList<QByteArray>{"service_commandline=ID:77:88\n"} << "77";
    QTest::newRow("case-sensitive key") << QList<QByteArray>{"Service_Commandline=ID:1234\n"} << "";
    QTest::newRow("case-sensitive ID") << QList<QByteArray>{"service_commandline=id:1234\n"} << "";
    QTest::newRow("key elsewhere on the line")
        << QList<QByteArray>{"; old service_commandline=ID:42\n"} << "42";
    QTest::newRow("no key") << QList<QByteArray>{"[admin]\nID:99\n"} << "";
    QTest::newRow("nothing installed") << QList<QByteArray>{} << "";
}

void TestUpdateProtocol::vncId()
{
    QFETCH(QList<QByteArray>, configs);
    QFETCH(QString, id);
    QCOMPARE(update::vncIdFromConfigs(configs), id);
}

void TestUpdateProtocol::vncIdFromDriveC_data()
{
    QTest::addColumn<QByteArray>("first");  // "Program Files", empty: not installed
    QTest::addColumn<QByteArray>("second"); // "Program Files (x86)"
    QTest::addColumn<QString>("id");

    QTest::newRow("none") << QByteArray() << QByteArray() << "";
    QTest::newRow("64-bit only") << QByteArray("service_commandline=ID:111\r\n") << QByteArray() << "111";
    QTest::newRow("32-bit only") << QByteArray() << QByteArray("service_commandline=ID:222\r\n") << "222";
    QTest::newRow("both") << QByteArray("service_commandline=ID:111\r\n")
                          << QByteArray("service_commandline=ID:222\r\n") << "222";
}

void TestUpdateProtocol::vncIdFromDriveC()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, id);
    TestEnvironment::resetDriveC();
    if (!first.isEmpty())
        QVERIFY(!makeDriveCFile("c:/Program Files/UltraVNC/UltraVNC.ini", first).isEmpty());
    if (!second.isEmpty())
        QVERIFY(!makeDriveCFile("c:/Program Files (x86)/UltraVNC/UltraVNC.ini", second).isEmpty());
    QCOMPARE(update::readVncId(), id);
}

void TestUpdateProtocol::reply_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("newer");
    QTest::addColumn<QString>("address");

    const QString zip = QStringLiteral("https://u.example/stablomat.zip");
    QTest::newRow("1.3 is ours") << QByteArray("a,b,c,1.3,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("1.03 is ours") << QByteArray("a,b,c,1.03,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("1.4") << QByteArray("a,b,c,1.4,https://u.example/stablomat.zip") << true << zip;
    QTest::newRow("1.04") << QByteArray("a,b,c,1.04,https://u.example/stablomat.zip") << true << zip;
    QTest::newRow("2.0") << QByteArray("a,b,c,2.0,https://u.example/stablomat.zip") << true << zip;
    QTest::newRow("1.2 is older") << QByteArray("a,b,c,1.2,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("1.0.4") << QByteArray("a,b,c,1.0.4,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("1.x reads 256") << QByteArray("a,b,c,1.x,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("2.x reads 512") << QByteArray("a,b,c,2.x,https://u.example/stablomat.zip") << true << zip;
    QTest::newRow("no full stop") << QByteArray("a,b,c,104,https://u.example/stablomat.zip") << false << zip;
    QTest::newRow("empty fields count") << QByteArray(",,,1.4,") << true << "";
    QTest::newRow("huge major, no overflow") << QByteArray("a,b,c,9999999.0,x") << true << "x";
    QTest::newRow("huge minor reads 0") << QByteArray("a,b,c,1.99999999999,x") << false << "x";
    QTest::newRow("four fields") << QByteArray("a,b,1.4,https://u.example/stablomat.zip") << false << "";
    QTest::newRow("six fields") << QByteArray("a,b,c,1.4,https://u.example/stablomat.zip,f") << false << "";
    QTest::newRow("empty body") << QByteArray() << false << "";
    QTest::newRow("line end and blanks after the address")
        << QByteArray("a,b,c,1.4,https://u.example/stablomat.zip \t\r\n\n") << true << zip;
    QTest::newRow("longer than 4 KiB")
        << QByteArray("a,b,c,1.4," + zip.toLatin1() + QByteArray(4096, ' ')) << false << "";
}

void TestUpdateProtocol::reply()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, newer);
    QFETCH(QString, address);
    const update::UpdateOffer offer = update::parseUpdateReply(body);
    QCOMPARE(offer.newer, newer);
    QCOMPARE(offer.archiveAddress, address);
}

void TestUpdateProtocol::ownVersion()
{
    QCOMPARE(update::versionValue(update::ProgramVersion), qint64(259));
    QCOMPARE(update::versionValue(QStringLiteral("1.0.4")), qint64(-1));
}

void TestUpdateProtocol::serverUrl_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("url");

    QTest::newRow("https") << "https://update.example.cz"
                           << "https://update.example.cz/user_stablomat_update.php";
    QTest::newRow("trailing slash") << "https://update.example.cz/"
                                    << "https://update.example.cz/user_stablomat_update.php";
    QTest::newRow("http loopback") << "http://127.0.0.1:8080"
                                   << "http://127.0.0.1:8080/user_stablomat_update.php";
    QTest::newRow("http ::1") << "http://[::1]:8080"
                              << "http://[::1]:8080/user_stablomat_update.php";
    QTest::newRow("http localhost") << "http://localhost:8080"
                                    << "http://localhost:8080/user_stablomat_update.php";
    QTest::newRow("http elsewhere") << "http://update.example.cz"
                                    << "http://update.example.cz/user_stablomat_update.php";
    QTest::newRow("http lookalike") << "http://127.0.0.1.example.cz"
                                    << "http://127.0.0.1.example.cz/user_stablomat_update.php";
    QTest::newRow("ftp") << "ftp://127.0.0.1"
                         << "ftp://127.0.0.1/user_stablomat_update.php";
    QTest::newRow("no host") << ""
                             << "/user_stablomat_update.php";
}

void TestUpdateProtocol::serverUrl()
{
    QFETCH(QString, base);
    QFETCH(QString, url);
    QCOMPARE(update::versionCheckUrl(base).toString(), url);
}

void TestUpdateProtocol::updateBlocked_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("expected"); // "" can update, "package", "readonly"
    QTest::newRow("own folder") << "/home/farma/stablomat" << true << "";
    QTest::newRow("installed from a package") << "/usr/bin" << true << "package";
    QTest::newRow("package, written as /usr/bin/") << "/usr/bin/" << false << "package";
    QTest::newRow("folder the user may not write") << "/opt/stablomat" << false << "readonly";
    QTest::newRow("a folder merely named usr") << "/home/usr" << true << "";
    QTest::newRow("windows folder") << "C:/Program Files/Stablomat" << false << "readonly";
}

void TestUpdateProtocol::updateBlocked()
{
    QFETCH(QString, dir);
    QFETCH(bool, writable);
    QFETCH(QString, expected);
    const QString reason = update::updateBlockedReason(dir, writable);
    if (expected.isEmpty()) {
        QVERIFY2(reason.isEmpty(), qPrintable(reason));
    } else if (expected == QLatin1String("package")) {
        QVERIFY(reason.contains(QStringLiteral("správcem balíčků")));
    } else {
        QVERIFY(reason.contains(QStringLiteral("nelze zapisovat")));
        QVERIFY2(reason.contains(QDir::toNativeSeparators(QDir::cleanPath(dir))), qPrintable(reason));
    }
}

void TestUpdateProtocol::signature_data()
{
    QTest::addColumn<QString>("change"); // what happens between signing and checking
    QTest::addColumn<bool>("legacy");    // the "Ed" form that signs the whole file
    QTest::addColumn<bool>("verified");

    QTest::newRow("prehashed") << "" << false << true;
    QTest::newRow("legacy form refused") << "" << true << false;
    QTest::newRow("ED turned into Ed over the file's hash") << "hash as file" << false << false;
    QTest::newRow("CR LF lines") << "crlf" << false << true;
    QTest::newRow("one byte of the file changed") << "file" << false << false;
    QTest::newRow("trusted comment changed") << "comment" << false << false;
    QTest::newRow("global signature changed") << "global" << false << false;
    QTest::newRow("unknown algorithm") << "algorithm" << false << false;
    QTest::newRow("signed by a key nobody trusts") << "other key" << false << false;
    QTest::newRow("no key file named") << "no variable" << false << false;
    QTest::newRow("HTML instead of a signature") << "html" << false << false;
    QTest::newRow("empty signature") << "empty" << false << false;
}

void TestUpdateProtocol::signature()
{
    QFETCH(QString, change);
    QFETCH(bool, legacy);
    QFETCH(bool, verified);

    SigningKey trusted, other;
    QVERIFY(trusted.create(keyDir.filePath(QStringLiteral("trusted"))));
    QVERIFY(other.create(keyDir.filePath(QStringLiteral("other"))));
    const QString file = keyDir.filePath(QStringLiteral("stablomat.zip"));
    QVERIFY(writeFile(file, randomBytes(100000)));
    QVERIFY((change == QLatin1String("other key") ? other : trusted).sign(file, legacy));
    const QString signatureFile = file + QStringLiteral(".minisig");
    QByteArray signature = readWholeFile(signatureFile);
    QList<QByteArray> lines = signature.split('\n');

    if (change == QLatin1String("crlf")) {
        signature.replace("\n", "\r\n");
    } else if (change == QLatin1String("file")) {
        QByteArray content = readWholeFile(file);
        content[5000] = char(content.at(5000) ^ 1);
        QVERIFY(writeFile(file, content));
    } else if (change == QLatin1String("comment")) {
        lines[2] += " file:other.zip";
        signature = lines.join('\n');
    } else if (change == QLatin1String("global")) {
        QByteArray global = QByteArray::fromBase64(lines.at(3));
        global[0] = char(global.at(0) ^ 1);
        lines[3] = global.toBase64();
        signature = lines.join('\n');
    } else if (change == QLatin1String("algorithm")) {
        QByteArray raw = QByteArray::fromBase64(lines.at(1));
        raw[1] = 'x';
        lines[1] = raw.toBase64();
        signature = lines.join('\n');
    } else if (change == QLatin1String("hash as file")) {
        // The signed hash passed off as a 64-byte file of its own.
        QByteArray raw = QByteArray::fromBase64(lines.at(1));
        raw[1] = 'd';
        lines[1] = raw.toBase64();
        signature = lines.join('\n');
        QVERIFY(writeFile(file, blake2b(readWholeFile(file))));
    } else if (change == QLatin1String("html")) {
        signature = "<!DOCTYPE html><html><body>Not found</body></html>\n";
    } else if (change == QLatin1String("empty")) {
        signature.clear();
    }

    if (change == QLatin1String("no variable"))
        qunsetenv(update::KeyFileVariable);
    else
        qputenv(update::KeyFileVariable, QFile::encodeName(trusted.publicKeyFile));
    const QList<update::PublicKey> keys = update::trustedKeys();
    qunsetenv(update::KeyFileVariable);
    QCOMPARE(update::verifyFile(file, signature, keys), verified);
    // Only a change of the file itself shows after the download.
    QCOMPARE(update::signatureTrusted(signature, keys), verified || change == QLatin1String("file"));
}

void TestUpdateProtocol::retryAfterFailure_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<int>("hoursLater");
    QTest::addColumn<bool>("blocked");

    const QDateTime failed(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC);
    const QString entry = update::failedUpdateEntry(QStringLiteral("1.4"), failed);
    QTest::newRow("just failed") << entry << "1.4" << 0 << true;
    QTest::newRow("23 hours later") << entry << "1.4" << 23 << true;
    QTest::newRow("24 hours later") << entry << "1.4" << 24 << false;
    QTest::newRow("same version written otherwise") << entry << "1.04" << 1 << true;
    QTest::newRow("another version") << entry << "1.5" << 1 << false;
    QTest::newRow("clock set back") << entry << "1.4" << -2 << false;
    QTest::newRow("nothing recorded") << ""
                                      << "1.4" << 1 << false;
    QTest::newRow("garbage recorded") << "1.4 yesterday"
                                      << "1.4" << 1 << false;
}

void TestUpdateProtocol::retryAfterFailure()
{
    QFETCH(QString, entry);
    QFETCH(QString, offered);
    QFETCH(int, hoursLater);
    QFETCH(bool, blocked);
    const QDateTime now = QDateTime(QDate(2026, 3, 1), QTime(8, 0), Qt::UTC).addSecs(hoursLater * 3600);
    QCOMPARE(update::retryBlocked(entry, offered, now), blocked);
}

void TestUpdateProtocol::archiveListing_data()
{
    QTest::addColumn<QString>("names"); // separated by "|"
    QTest::addColumn<bool>("acceptable");

    QTest::newRow("the program alone") << "stablomat" << true;
    QTest::newRow("with a library and a folder") << "libx.so|stablomat|plugins/|plugins/a b č.so" << true;
    QTest::newRow("program missing") << "other" << false;
    QTest::newRow("program only in a folder") << "bin/stablomat" << false;
    QTest::newRow("absolute path") << "stablomat|/etc/passwd" << false;
    QTest::newRow("parent folder") << "stablomat|plugins/../../x" << false;
    QTest::newRow("backslash") << "stablomat|plugins\\..\\x" << false;
    QTest::newRow("hidden top-level name") << "stablomat|.profile" << false;
    QTest::newRow("top-level name cmd would expand") << "stablomat|100%done" << false;
    QTest::newRow("the update's own files") << "stablomat|upgrade.sh" << false;
    QTest::newRow("the journal, in capitals") << "stablomat|STABLOMAT.SWAP" << false;
    QTest::newRow("names differing in case only") << "stablomat|Readme|README" << false;
    QTest::newRow("a file that is also a folder") << "stablomat|doc|doc/a" << false;
    QTest::newRow("a line end in a name") << "stablomat|plugins/a\nb" << false;
    QTest::newRow("empty") << "" << false;
}

void TestUpdateProtocol::archiveListing()
{
    QFETCH(QString, names);
    QFETCH(bool, acceptable);
    QCOMPARE(update::archiveNamesAcceptable(names.split(QLatin1Char('|'), Qt::SkipEmptyParts),
                                            QStringLiteral("stablomat")),
             acceptable);
}

void TestUpdateProtocol::unpack_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("sound") << "";
    QTest::newRow("a byte of the packed data changed") << "byte";
    QTest::newRow("not a zip") << "html";
    QTest::newRow("program missing") << "no program";
    QTest::newRow("a symbolic link") << "link";
    QTest::newRow("encrypted") << "password";
}

// The archive as the program unpacks it: every member whole and checked, or nothing left.
void TestUpdateProtocol::unpack()
{
    QFETCH(QString, fault);
#ifdef Q_OS_WIN
    const QString program = QStringLiteral("stablomat.exe"); // executable by its name there
#else
    const QString program = QStringLiteral("stablomat");
#endif
    QTemporaryDir dir;
    const QString zip = dir.filePath(QStringLiteral("stablomat.zip"));
    const QString target = dir.filePath(QStringLiteral("stablomat.new"));
    const QByteArray text = QByteArray("stablomat ").repeated(20000);
    QList<QPair<QString, QByteArray>> members{
        {QStringLiteral("data.txt"), text},
        {fault == QLatin1String("no program") ? QStringLiteral("x") : program, "#!/bin/sh\n"},
        {QStringLiteral("plugins/a.so"), "a"}};
    const MemberKind kind = fault == QLatin1String("link")       ? MemberKind::SymbolicLink
                            : fault == QLatin1String("password") ? MemberKind::Encrypted
                                                                 : MemberKind::File;
    if (kind != MemberKind::File)
        members.append({QStringLiteral("passwd"), "/etc/passwd"});
    QVERIFY(makeArchive(zip, members, kind));
    QByteArray bytes = readWholeFile(zip);
    if (fault == QLatin1String("byte")) {
        // The first member's data begins after its local header, name and extra field.
        const auto field = [&](int at) { return uchar(bytes.at(at)) | uchar(bytes.at(at + 1)) << 8; };
        const int packed = field(18), start = 30 + field(26) + field(28);
        bytes[start + packed / 2] = char(bytes.at(start + packed / 2) ^ 1);
        QVERIFY(writeFile(zip, bytes));
    } else if (fault == QLatin1String("html")) {
        QVERIFY(writeFile(zip, "<html><body>502 Bad Gateway</body></html>"));
    }
    QVERIFY(QDir().mkpath(target + QStringLiteral("/left over")));

    const update::Unpacked unpacked = update::unpackArchive(zip, target, program);
    QCOMPARE(unpacked.ok, fault.isEmpty());
    QVERIFY(!unpacked.writeFailed);
    if (!fault.isEmpty()) {
        QVERIFY(!QFileInfo::exists(target));
        return;
    }
    QCOMPARE(QSet<QString>(unpacked.topLevel.begin(), unpacked.topLevel.end()),
             (QSet<QString>{"data.txt", program, "plugins"}));
    QCOMPARE(readWholeFile(target + QStringLiteral("/data.txt")), text);
    QCOMPARE(readWholeFile(target + QStringLiteral("/plugins/a.so")), QByteArray("a"));
    QVERIFY(QFileInfo(target + '/' + program).isExecutable());
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/left over")));
}

STABLOMAT_TEST_MAIN_CORE(TestUpdateProtocol)
#include "tst_updateprotocol.moc"
