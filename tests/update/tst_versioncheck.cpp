// The version check and the self-update's failure paths, with the real main window against the
// reference registry on loopback. A successful update ends the process; see tst_selfupdate.
#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "common/registryprocess.h"
#include "common/testsupport.h"
#include "platform/settingskeys.h"
#include "servers.h"
#include "update/signature.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <functional>
#include <memory>

namespace {

const QString farmName = QStringLiteral("Statek U Lípy & syn +1");
const QString installation = QStringLiteral("{5f0c8a52-1d3e-4b7a-9c21-0e6f4d8b9a13}");

// The main window with a hook into the exchange it runs.
class ProbeWindow : public MainWindow
{
public:
    std::function<void()> duringExchange;

protected:
    void runAdapter(const bool &, const bool &) override
    {
        if (duringExchange)
            duringExchange();
    }
};

QString programDir()
{
    return QCoreApplication::applicationDirPath();
}

void removeUpdateFiles()
{
    const QDir dir(programDir());
    const QStringList leftovers =
        dir.entryList({QStringLiteral("stablomat*"), QStringLiteral("upgrade.*")},
                      QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : leftovers) {
        const QString path = dir.filePath(name);
        if (QFileInfo(path).isDir())
            QDir(path).removeRecursively();
        else
            QFile::remove(path);
    }
}

QStringList updateFiles()
{
    return QDir(programDir())
        .entryList({QStringLiteral("stablomat*"), QStringLiteral("upgrade.*")},
                   QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QJsonObject formFields(const QJsonObject &logEntry)
{
    return QJsonDocument::fromJson(logEntry.value(QStringLiteral("body")).toString().toUtf8()).object();
}

} // namespace

class TestVersionCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void sentAtStartAndEveryHour();
    void untrustedServerGetsNothing();
    void replyWithoutUpdate_data();
    void replyWithoutUpdate();
    void failedUpdate_data();
    void failedUpdate();
    void progressWhileDownloading();
    void oneUpdateAtATime();
    void noUpdateDuringAnExchange();

private:
    // Sends one version check and waits for its reply to be handled: downloads and boxes are over
    // when the reply's slot returns.
    bool checkOnce(int timeoutMs = 20000);
    std::unique_ptr<RegistryProcess> registryAnswering(const QString &reply, const QStringList &more = {});

    QTemporaryDir work;
    QString servedDir;
    QByteArray archive;
    SigningKey key;
    SelfSignedCertificate certificate;
    bool haveCertificate = false;
    RegistryProcess startRegistry;
    RegistryProcess tlsRegistry;
    RawHttpServer raw;
    ProbeWindow *window = nullptr;
};

void TestVersionCheck::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    removeUpdateFiles();
    servedDir = work.filePath(QStringLiteral("served"));
    // A signed archive that holds this program.
    const QString served = servedDir + QStringLiteral("/stablomat.zip");
    QVERIFY(QDir().mkpath(servedDir));
    QVERIFY(makeArchive(served, QFileInfo(QCoreApplication::applicationFilePath()).fileName(), "new"));
    QVERIFY(key.create(work.path()));
    QVERIFY(key.sign(served));
    qputenv(update::KeyFileVariable, QFile::encodeName(key.publicKeyFile));
    archive = readWholeFile(served);
    QVERIFY(writeFile(servedDir + QStringLiteral("/bigsignature.zip"), archive));
    QVERIFY(writeFile(servedDir + QStringLiteral("/bigsignature.zip.minisig"),
                      readWholeFile(served + QStringLiteral(".minisig")) + QByteArray(8192, '\n')));
    haveCertificate = certificate.create(work.path());

    // An UltraVNC installation in both places (the second wins) and a DairyPlan installation.
    QVERIFY(
        !makeDriveCFile("c:/Program Files/UltraVNC/UltraVNC.ini",
                        "[admin]\r\nservice_commandline=-autoreconnect ID:1111 -connect r.example:5901\r\n")
             .isEmpty());
    QVERIFY(
        !makeDriveCFile("c:/Program Files (x86)/UltraVNC/UltraVNC.ini",
                        "[admin]\r\nservice_commandline=-autoreconnect ID:5678 -connect r.example:5901\r\n")
             .isEmpty());
    QVERIFY(!makeDriveCFile("c:/DairyPln/dpdataexchange.exe").isEmpty());
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
                           QStringLiteral("stablomat"));
        settings.setValue(keys::Uuid, installation);
        settings.setValue(keys::Staj, farmName);
    }

    QVERIFY(startRegistry.start({QStringLiteral("--update-reply"), QStringLiteral("a,b,c,1.03,x")}));
    qputenv("STABLOMAT_UPDATE_URL", startRegistry.url().toUtf8());
    window = new ProbeWindow;
    window->show();
    // The test gives the ticks itself.
    for (QTimer *timer : window->findChildren<QTimer *>()) {
        if (timer->interval() == 1000)
            timer->stop();
    }
}

void TestVersionCheck::cleanupTestCase()
{
    removeUpdateFiles();
}

void TestVersionCheck::init()
{
    removeUpdateFiles();
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brantol"),
              QStringLiteral("stablomat"))
        .remove(keys::FailedUpdate);
}

void TestVersionCheck::cleanup()
{
    removeUpdateFiles();
}

bool TestVersionCheck::checkOnce(int timeoutMs)
{
    auto *network = window->findChild<QNetworkAccessManager *>();
    if (!network)
        return false;
    // Its own reply: one of an earlier check may still be on its way.
    const QList<QNetworkReply *> earlier = network->findChildren<QNetworkReply *>();
    QNetworkReply *sent = nullptr;
    bool handled = false;
    const QMetaObject::Connection c =
        connect(network, &QNetworkAccessManager::finished, this,
                [&](QNetworkReply *reply) { handled = handled || reply == sent; });
    window->sendVersionCheck();
    for (QNetworkReply *reply : network->findChildren<QNetworkReply *>())
        sent = earlier.contains(reply) ? sent : reply;
    const bool ok = sent && QTest::qWaitFor([&] { return handled; }, timeoutMs);
    disconnect(c);
    return ok;
}

std::unique_ptr<RegistryProcess> TestVersionCheck::registryAnswering(const QString &reply,
                                                                     const QStringList &more)
{
    auto registry = std::make_unique<RegistryProcess>();
    QStringList options = more;
    if (!reply.isNull())
        options << QStringLiteral("--update-reply") << reply;
    options << QStringLiteral("--update-dir") << servedDir;
    if (!registry->start(options))
        return nullptr;
    qputenv("STABLOMAT_UPDATE_URL", registry->url().toUtf8());
    return registry;
}

void TestVersionCheck::sentAtStartAndEveryHour()
{
    const QJsonObject expected{
        {"x64", "0"}, {"uuid", installation}, {"vnc_id", "5678"}, {"staj", farmName}, {"dsystem", "3"}};
    QTRY_COMPARE_WITH_TIMEOUT(startRegistry.requests().size(), 1, 15000);
    const QJsonObject first = startRegistry.requests().first();
    QCOMPARE(first.value("method").toString(), QStringLiteral("POST"));
    QCOMPARE(first.value("path").toString(), QStringLiteral("/user_stablomat_update.php"));
    QCOMPARE(first.value("remote").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(formFields(first), expected);

    for (int tick = 1; tick < 3600; ++tick)
        window->timerTimeout();
    QTest::qWait(1000); // proves that no check goes out before the hour
    QCOMPARE(startRegistry.requests().size(), 1);
    window->timerTimeout();
    QTRY_COMPARE_WITH_TIMEOUT(startRegistry.requests().size(), 2, 15000);
    QCOMPARE(formFields(startRegistry.requests().at(1)), expected);

    for (int tick = 0; tick < 3600; ++tick)
        window->timerTimeout();
    QTRY_COMPARE_WITH_TIMEOUT(startRegistry.requests().size(), 3, 15000);
}

void TestVersionCheck::untrustedServerGetsNothing()
{
    if (!haveCertificate)
        QSKIP("the openssl command is needed for a certificate");
    RegistryProcess tls;
    QVERIFY(tls.start({QStringLiteral("--update-reply"), QStringLiteral("a,b,c,1.03,x"),
                       QStringLiteral("--tls-cert"), certificate.certFile, QStringLiteral("--tls-key"),
                       certificate.keyFile}));
    qputenv("STABLOMAT_UPDATE_URL", tls.url().toUtf8());
    ModalAnswerer boxes;
    QVERIFY(checkOnce());
    QCOMPARE(tls.requests().size(), 0);
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestVersionCheck::replyWithoutUpdate_data()
{
    QTest::addColumn<QString>("reply"); // null: the registry has no reply and answers 404
    QTest::addColumn<bool>("refused");  // nothing listens

    const QString zip = QStringLiteral(",%1/update/stablomat.zip");
    QTest::newRow("1.3") << QStringLiteral("a,b,c,1.3") + zip << false;
    QTest::newRow("1.03") << QStringLiteral("a,b,c,1.03") + zip << false;
    QTest::newRow("1.0.4") << QStringLiteral("a,b,c,1.0.4") + zip << false;
    QTest::newRow("1.x") << QStringLiteral("a,b,c,1.x") + zip << false;
    QTest::newRow("four fields") << QStringLiteral("a,b,1.4") + zip << false;
    QTest::newRow("six fields") << QStringLiteral("a,b,c,1.4") + zip + QStringLiteral(",f") << false;
    QTest::newRow("empty body") << QStringLiteral("") << false;
    QTest::newRow("30 MiB") << QStringLiteral("30 MiB") << false;
    QTest::newRow("HTTP 404") << QString() << false;
    QTest::newRow("connection refused") << QString() << true;
}

void TestVersionCheck::replyWithoutUpdate()
{
    QFETCH(QString, reply);
    QFETCH(bool, refused);
    ModalAnswerer boxes;
    std::unique_ptr<RegistryProcess> registry;
    if (refused) {
        qputenv("STABLOMAT_UPDATE_URL", "http://127.0.0.1:9");
    } else if (reply == QLatin1String("30 MiB")) {
        // An announcement followed by 30 MiB more: refused, nothing downloaded.
        raw.unannounced.insert(QStringLiteral("/user_stablomat_update.php"),
                               "a,b,c,1.4,http://127.0.0.1:9/stablomat.zip" + QByteArray(30 << 20, ' ') +
                                   "x");
        qputenv("STABLOMAT_UPDATE_URL", raw.base().toUtf8());
        QVERIFY(checkOnce());
        raw.unannounced.clear();
    } else {
        // The port is known only once the server runs: a first server tells it, a second answers.
        RegistryProcess files;
        QVERIFY(files.start({QStringLiteral("--update-dir"), servedDir}));
        registry = registryAnswering(
            reply.isNull() ? reply : QString(reply).replace(QLatin1String("%1"), files.url()));
        QVERIFY(registry);
        QVERIFY(checkOnce());
        QCOMPARE(files.requests().size(), 0);
        QCOMPARE(
            registry->requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size(),
            1);
        QCOMPARE(registry->requests(QStringLiteral("GET"), QStringLiteral("/update/")).size(), 0);
    }
    if (refused)
        QVERIFY(checkOnce());
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(updateFiles(), QStringList());
    QVERIFY(window->findChildren<DialogInfo *>().isEmpty());
}

void TestVersionCheck::failedUpdate_data()
{
    QTest::addColumn<QString>("address"); // %1: the registry, %2: the misbehaving server
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("scriptBlocked");

    const QString downloadFailed = QStringLiteral("Chyba stahování souboru.");
    QTest::newRow("404") << "%1/update/missing.zip" << downloadFailed << false;
    QTest::newRow("a line end after the address") << "%1/update/missing.zip\r\n" << downloadFailed << false;
    QTest::newRow("signature over 4 KiB") << "%1/update/bigsignature.zip" << downloadFailed << false;
    QTest::newRow("cut off") << "%2/cut" << downloadFailed << false;
    QTest::newRow("connection refused") << "http://127.0.0.1:9/stablomat.zip" << downloadFailed << false;
    QTest::newRow("plain http elsewhere") << "http://192.0.2.1/stablomat.zip" << downloadFailed << false;
    QTest::newRow("empty address") << "" << downloadFailed << false;
    if (haveCertificate)
        QTest::newRow("untrusted certificate") << "https" << downloadFailed << false;
    QTest::newRow("script cannot be written") << "%1/update/stablomat.zip"
                                              << "Chyba vytváření souboru bat." << true;
}

void TestVersionCheck::failedUpdate()
{
    QFETCH(QString, address);
    QFETCH(QString, message);
    QFETCH(bool, scriptBlocked);

    RegistryProcess tls;
    if (address == QLatin1String("https")) {
        QVERIFY(tls.start({QStringLiteral("--update-dir"), servedDir, QStringLiteral("--tls-cert"),
                           certificate.certFile, QStringLiteral("--tls-key"), certificate.keyFile}));
        address = tls.url() + QStringLiteral("/update/stablomat.zip");
    }
    RegistryProcess files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), servedDir}));
    address.replace(QLatin1String("%1"), files.url()).replace(QLatin1String("%2"), raw.base());
    std::unique_ptr<RegistryProcess> registry = registryAnswering(QStringLiteral("a,b,c,1.04,") + address);
    QVERIFY(registry);
    if (scriptBlocked)
        QVERIFY(QDir().mkpath(programDir() + QStringLiteral("/upgrade.sh/x")));

    ModalAnswerer boxes;
    QVERIFY(checkOnce(40000));
    QTRY_COMPARE(boxes.boxes.size(), 1);
    const ModalAnswerer::Box box = boxes.boxes.last();
    QCOMPARE(box.title, QStringLiteral("Stablomat"));
    QCOMPARE(box.text, message);
    QCOMPARE(box.icon, QStringLiteral("information"));
    // The program keeps running, and leaves nothing behind but what blocked the script.
    QVERIFY(window->isVisible());
    QVERIFY(window->findChildren<DialogInfo *>().isEmpty());
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(updateFiles(), scriptBlocked ? QStringList{QStringLiteral("upgrade.sh")} : QStringList());
    for (const QJsonObject &request : files.requests())
        QVERIFY(!request.value(QStringLiteral("path")).toString().contains(QLatin1String("%0")));

    // The same version is not tried again the same day.
    const int downloads = files.requests(QStringLiteral("GET"), QStringLiteral("/update/")).size();
    QVERIFY(checkOnce(40000));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(files.requests(QStringLiteral("GET"), QStringLiteral("/update/")).size(), downloads);
    QVERIFY(window->settingsStore()->value(keys::FailedUpdate).toString().startsWith("1.04 "));
    if (scriptBlocked)
        QCOMPARE(downloads, 2); // the signature and the archive
}

void TestVersionCheck::progressWhileDownloading()
{
    RegistryProcess files;
    QVERIFY(files.start(
        {QStringLiteral("--update-dir"), servedDir, QStringLiteral("--delay-ms"), QStringLiteral("700")}));
    std::unique_ptr<RegistryProcess> registry =
        registryAnswering(QStringLiteral("a,b,c,2.0,%1/update/missing.zip").arg(files.url()));
    QVERIFY(registry);

    QString title, text;
    bool visible = false;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    QTimer watch;
    watch.setInterval(20);
    connect(&watch, &QTimer::timeout, [&] {
        const QList<DialogInfo *> dialogs = window->findChildren<DialogInfo *>();
        if (dialogs.isEmpty())
            return;
        // The cursor is set right after the dialog has shown its text.
        if (QApplication::overrideCursor())
            cursor = QApplication::overrideCursor()->shape();
        if (!title.isEmpty())
            return;
        title = dialogs.first()->windowTitle();
        text = dialogs.first()->text();
        visible = dialogs.first()->isVisible();
    });
    watch.start();
    ModalAnswerer boxes;
    QVERIFY(checkOnce(40000));
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(title, QStringLiteral("Stablomat"));
    QCOMPARE(text, QStringLiteral("Stahování nové verze ..."));
    QVERIFY(visible);
    QCOMPARE(cursor, Qt::WaitCursor);
}

void TestVersionCheck::oneUpdateAtATime()
{
    RegistryProcess files;
    QVERIFY(files.start(
        {QStringLiteral("--update-dir"), servedDir, QStringLiteral("--delay-ms"), QStringLiteral("1500")}));
    std::unique_ptr<RegistryProcess> registry =
        registryAnswering(QStringLiteral("a,b,c,1.4,%1/update/missing.zip").arg(files.url()));
    QVERIFY(registry);

    auto *network = window->findChild<QNetworkAccessManager *>();
    QSignalSpy replies(network, &QNetworkAccessManager::finished);
    ModalAnswerer boxes;
    window->sendVersionCheck();
    window->sendVersionCheck();
    QTRY_COMPARE_WITH_TIMEOUT(replies.size(), 2, 30000);
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(registry->requests(QStringLiteral("POST"), QStringLiteral("/user_stablomat_update.php")).size(),
             2);
    QCOMPARE(files.requests(QStringLiteral("GET"), QStringLiteral("/update/")).size(), 1);
}

void TestVersionCheck::noUpdateDuringAnExchange()
{
    RegistryProcess files;
    QVERIFY(files.start({QStringLiteral("--update-dir"), servedDir}));
    std::unique_ptr<RegistryProcess> registry =
        registryAnswering(QStringLiteral("a,b,c,1.4,%1/update/missing.zip").arg(files.url()));
    QVERIFY(registry);

    ModalAnswerer boxes;
    bool replied = false;
    window->duringExchange = [&] { replied = checkOnce(); };
    window->runExchange(false, false);
    window->duringExchange = nullptr;
    QVERIFY(replied);
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(files.requests().size(), 0);

    // Once the exchange is over, the next announcement is acted on.
    QVERIFY(checkOnce());
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(files.requests(QStringLiteral("GET"), QStringLiteral("/update/missing.zip")).size(), 1);
}

STABLOMAT_TEST_MAIN(TestVersionCheck)
#include "tst_versioncheck.moc"
