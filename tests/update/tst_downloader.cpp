// The downloader against real servers on loopback: complete files only, failures leave nothing.
#include "common/registryprocess.h"
#include "common/testsupport.h"
#include "servers.h"
#include "ziviviver.h"

#include <QDir>
#include <QEventLoop>
#include <QSignalSpy>

namespace {

struct Outcome
{
    int downloaded = -1;
    int finishedSignals = 0;
    bool timedOut = false;
};

// Runs the downloader as the self-update does: append, then wait in a local loop for the signal.
Outcome download(const QString &outputDir, const QList<dm_request_t> &requests)
{
    Outcome outcome;
    ZOVeravidoZedozor downloader(nullptr);
    downloader.setOutputDir(outputDir);
    for (int i = 0; i < requests.size(); ++i)
        downloader.append(requests.at(i), i == requests.size() - 1);
    QEventLoop loop;
    QObject::connect(&downloader, &ZOVeravidoZedozor::finishedDownload, &loop, [&] {
        ++outcome.finishedSignals;
        loop.quit();
    });
    QTimer::singleShot(30000, &loop, [&] {
        outcome.timedOut = true;
        loop.quit();
    });
    loop.exec();
    QTest::qWait(100); // proves that no second signal comes for the same queue
    outcome.downloaded = downloader.downloadedCount;
    return outcome;
}

dm_request_t request(const QString &url, const QString &name = QStringLiteral("stablomat_proc.zip"))
{
    dm_request_t r;
    r.fileUrl = QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode);
    r.fileName = name;
    return r;
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void completeDownload();
    void failures_data();
    void failures();
    void queue();
    void redirectWithinLoopback();

private:
    QTemporaryDir work;
    QByteArray archive;
    RegistryProcess registry;
    RegistryProcess tlsRegistry;
    RawHttpServer raw;
};

void TestDownloader::initTestCase()
{
    QVERIFY(work.isValid());
    archive = randomBytes(300 * 1024);
    const QString served = work.filePath(QStringLiteral("served"));
    QVERIFY(writeFile(served + QStringLiteral("/stablomat.zip"), archive));
    QVERIFY(registry.start({QStringLiteral("--update-dir"), served}));
    QVERIFY(raw.isListening());

    SelfSignedCertificate certificate;
    if (certificate.create(work.path()))
        QVERIFY(tlsRegistry.start({QStringLiteral("--update-dir"), served, QStringLiteral("--tls-cert"),
                                   certificate.certFile, QStringLiteral("--tls-key"), certificate.keyFile}));
}

void TestDownloader::completeDownload()
{
    QTemporaryDir out;
    QVERIFY(writeFile(out.filePath(QStringLiteral("stablomat_proc.zip")), "an older download"));
    const Outcome outcome =
        download(out.path(), {request(registry.url() + QStringLiteral("/update/stablomat.zip"))});
    QVERIFY(!outcome.timedOut);
    QCOMPARE(outcome.finishedSignals, 1);
    QCOMPARE(outcome.downloaded, 1);
    QCOMPARE(filesIn(out.path()), QStringList{QStringLiteral("stablomat_proc.zip")});
    QCOMPARE(readWholeFile(out.filePath(QStringLiteral("stablomat_proc.zip"))), archive);
    QCOMPARE(registry.requests(QStringLiteral("GET"), QStringLiteral("/update/stablomat.zip")).size(), 1);
}

void TestDownloader::failures_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("fileName");

    const QString zip = QStringLiteral("stablomat_proc.zip");
    QTest::newRow("404") << registry.url() + QStringLiteral("/update/missing.zip") << zip;
    QTest::newRow("cut off") << raw.base() + QStringLiteral("/cut") << zip;
    QTest::newRow("larger than allowed") << raw.base() + QStringLiteral("/huge") << zip;
    QTest::newRow("connection refused") << QStringLiteral("http://127.0.0.1:9/stablomat.zip") << zip;
    if (tlsRegistry.port() > 0)
        QTest::newRow("certificate not trusted")
            << tlsRegistry.url() + QStringLiteral("/update/stablomat.zip") << zip;
    QTest::newRow("plain http elsewhere") << QStringLiteral("http://192.0.2.1/stablomat.zip") << zip;
    QTest::newRow("redirect to plain http elsewhere")
        << raw.base() + QStringLiteral("/redirect?to=http%3A%2F%2F192.0.2.1%2Fstablomat.zip") << zip;
    QTest::newRow("file url") << QStringLiteral("file:///etc/passwd") << zip;
    QTest::newRow("empty address") << QString() << zip;
    QTest::newRow("file name leaves the directory")
        << registry.url() + QStringLiteral("/update/stablomat.zip")
        << QStringLiteral("../stablomat_proc.zip");
}

void TestDownloader::failures()
{
    QFETCH(QString, url);
    QFETCH(QString, fileName);
    QTemporaryDir parent;
    const QString out = parent.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    QVERIFY(writeFile(out + QStringLiteral("/stablomat_proc.zip"), "an older download"));

    const Outcome outcome = download(out, {request(url, fileName)});
    QVERIFY(!outcome.timedOut);
    QCOMPARE(outcome.finishedSignals, 1);
    QCOMPARE(outcome.downloaded, 0);
    // Nothing half-written: the old file is untouched and no temporary file is left.
    QCOMPARE(filesIn(out), QStringList{QStringLiteral("stablomat_proc.zip")});
    QCOMPARE(readWholeFile(out + QStringLiteral("/stablomat_proc.zip")), QByteArray("an older download"));
    QCOMPARE(filesIn(parent.path()), QStringList());
}

void TestDownloader::queue()
{
    QTemporaryDir out;
    const Outcome outcome =
        download(out.path(),
                 {request(registry.url() + QStringLiteral("/update/missing.zip"), QStringLiteral("a.zip")),
                  request(registry.url() + QStringLiteral("/update/stablomat.zip"), QStringLiteral("b.zip")),
                  request(QStringLiteral("http://192.0.2.1/c.zip"), QStringLiteral("c.zip"))});
    QVERIFY(!outcome.timedOut);
    QCOMPARE(outcome.finishedSignals, 1);
    QCOMPARE(outcome.downloaded, 1);
    QCOMPARE(filesIn(out.path()), QStringList{QStringLiteral("b.zip")});
    QCOMPARE(readWholeFile(out.filePath(QStringLiteral("b.zip"))), archive);
}

void TestDownloader::redirectWithinLoopback()
{
    QTemporaryDir out;
    const QString target = QString::fromLatin1(
        QUrl::toPercentEncoding(registry.url() + QStringLiteral("/update/stablomat.zip")));
    const Outcome outcome =
        download(out.path(), {request(raw.base() + QStringLiteral("/redirect?to=") + target)});
    QVERIFY(!outcome.timedOut);
    QCOMPARE(outcome.downloaded, 1);
    QCOMPARE(readWholeFile(out.filePath(QStringLiteral("stablomat_proc.zip"))), archive);
}

STABLOMAT_TEST_MAIN_CORE(TestDownloader)
#include "tst_downloader.moc"
