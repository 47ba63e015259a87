// exchangeFullwood end to end: the window detects the Fullwood layout of farm-tool, runs taupro2.exe,
// synchronises with the reference herd registry and writes the downloaded inseminations back.
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "common/simprocess.h"
#include "exchange/answerfile.h"
#include "generator.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("4711");
const QString Dir = QStringLiteral("c:/Fusion/Exchange/taurus/");
const QDate Today = QDate::currentDate();
const int InsDays = 30;
const int SendDays = 60;

const QByteArray Header = "CN *****\r\n"
                          "DH201861000000000800020157508000201576060002016812400020168408000201685080\r\n"
                          "VH201861DD      20170704142855Agis TFS 6.1.641        6.1.641 STK 2.0 \r\n";

QByteArray fullwoodRequest()
{
    return "CN ***** \xc4\x8dt \xc4\x8dvc 2 09:12:28 2020\r\n"
           "CN *****\r\n"
           "CN ***** Velmorin - Fullwood, reprodukce\r\n" +
           Header +
           "CN *****\r\n"
           "RN20186300201896060002018121500020006402000201695080002000420800020005008000200513080002017430800"
           "090008501000900059080\r\n"
           "EN\r\n"
           "ZN\r\n";
}

// Everything of the write-back request after its first line (the date and time of the run).
QByteArray writeBackRequestTail(const QByteArray &lines)
{
    return "CN *****\r\n"
           "CN ***** Velmorin - Fullwood, evidence\r\n" +
           Header +
           "CN -----------------------------------------------------\r\n"
           "CN ***** 201863 - general cow\r\n"
           "CN      | cow id   | insem    |\r\n"
           "DN2018630020189606000200050080\r\n" +
           lines + "TN\r\nZN\r\n";
}

QByteArray insLine(int parlour, const QDate &date)
{
    return "VN201863" + QByteArray::number(parlour).rightJustified(6) + date.toString("yyyyMMdd").toLatin1() +
           "\r\n";
}

bool progressDialogOpen()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<DialogInfo *>(w) && w->isVisible())
            return true;
    }
    return false;
}

QString key(const QJsonObject &o, const char *more = nullptr)
{
    QString k = o.value("cislo").toString() + "/" + o.value("datum").toString();
    if (more)
        k += "/" + QString::number(o.value(more).toInt());
    return k;
}

QStringList recordKeys(const QJsonArray &records, const char *more = nullptr)
{
    QStringList list;
    for (const QJsonValue &v : records)
        list << key(v.toObject(), more);
    list.sort();
    return list;
}

// Chattr +i for the file's lifetime in a test; the flag is always taken off again.
struct Immutable
{
    explicit Immutable(const QString &path) : file(path)
    {
        set = QProcess::execute("chattr", {"+i", file}) == 0;
    }
    ~Immutable()
    {
        if (set)
            QProcess::execute("chattr", {"-i", file});
    }
    QString file;
    bool set = false;
};

} // namespace

class TestFullwood : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void exchange();
    void importingOff();
    void writeBackConverterFails();
    void nothingToWrite();
    void insCopyBlocked_data();
    void insCopyBlocked();
    void malformedLines();
    void noAnswer();
    void noWindows();
    void undeletableAnswer();

private:
    QString local(const QString &name) const { return platform::localPath(Dir + name); }
    QTextEdit *textArea() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    herd::Herd herdAfter() const;
    bool recordInsemination(int parlour, const QDate &date) const;
    // The result message for D downloaded and W written rows.
    QString resultMessage(int downloaded, int written) const;
    QStringList requestsRead() const;
    void expectNoWriteBack();

    herd::Herd herd;
    herd::Herd herdLoaded; // as read back from the herd file
    QTemporaryDir herdDir;
    QString herdFile;
    // Present cows picked for the cases, by parlour number.
    int number9998 = 0, number9999 = 0, numberUnknown = 0;
    int checkBeforeService = 0, openInWindow = 0, eventsBeforeCalving = 0, served = 0, known = 0;
    QStringList expectedPregnancies, expectedDryOffs;
    int presentCows = 0;

    QTemporaryDir logDir;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestFullwood::initTestCase()
{
    herd::GeneratorOptions options;
    options.cows = 40;
    options.seed = 11;
    options.today = Today;
    herd = herd::generateHerd(options);
    QVector<herd::Cow *> present;
    for (herd::Cow &c : herd.cows) {
        if (c.isPresent())
            present << &c;
    }
    QVERIFY(present.size() >= 8);
    presentCows = present.size();

    auto life = [](herd::Cow *c, int calved, QVector<int> services, QVector<QPair<int, bool>> checks,
                   QVector<int> dried) {
        c->calvings = {Today.addDays(-calved)};
        c->inseminations.clear();
        for (int d : services)
            c->inseminations << herd::Insemination{
                Today.addDays(-d), QString(), c->inseminations.size() + 1, {}};
        c->pregnancyChecks.clear();
        for (const auto &p : checks)
            c->pregnancyChecks << herd::PregnancyCheck{Today.addDays(-p.first), p.second};
        c->dryOffs.clear();
        for (int d : dried)
            c->dryOffs << Today.addDays(-d);
        c->abortions.clear();
        c->milkings.clear();
    };
    present[0]->extra.insert("herdNumber", 9998);
    present[1]->extra.insert("herdNumber", 9999);
    present[2]->extra.insert("herdNumber", "");
    life(present[3], 100, {10}, {{20, true}}, {});   // checked before the last service
    life(present[4], 120, {60}, {{25, false}}, {});  // open, inside the window
    life(present[5], 30, {300}, {{40, true}}, {80}); // everything before the calving
    life(present[6], 90, {40}, {{41, false}}, {});   // gets a service from the cloud
    life(present[7], 90, {30}, {{5, true}}, {});     // holds the service the cloud returns
    number9998 = present[0]->parlour;
    number9999 = present[1]->parlour;
    numberUnknown = present[2]->parlour;
    checkBeforeService = present[3]->parlour;
    openInWindow = present[4]->parlour;
    eventsBeforeCalving = present[5]->parlour;
    served = present[6]->parlour;
    known = present[7]->parlour;

    // The events the registry must receive, worked out from the herd itself.
    const QDate windowStart = Today.addDays(-SendDays);
    for (const herd::Cow *c : present) {
        const QDate calved = c->lastCalving();
        auto afterCalving = [&](const QDate &d) { return d.isValid() && (!calved.isValid() || d >= calved); };
        const QDate ins = c->lastInsemination() ? c->lastInsemination()->date : QDate();
        const herd::PregnancyCheck *check = c->lastPregnancyCheck();
        if (check && afterCalving(check->date) && (!afterCalving(ins) || check->date >= ins) &&
            check->date >= windowStart)
            expectedPregnancies << QString("%1/%2/%3")
                                       .arg(c->parlour)
                                       .arg(check->date.toString(Qt::ISODate))
                                       .arg(check->pregnant ? 1 : 2);
        if (afterCalving(c->lastDryOff()) && c->lastDryOff() >= windowStart)
            expectedDryOffs << QString("%1/%2").arg(c->parlour).arg(c->lastDryOff().toString(Qt::ISODate));
    }
    expectedPregnancies.sort();
    expectedDryOffs.sort();
    QVERIFY(expectedPregnancies.contains(
        QString("%1/%2/2").arg(openInWindow).arg(Today.addDays(-25).toString(Qt::ISODate))));

    herdFile = herdDir.filePath("herd.json");
    QString error;
    QVERIFY2(herd.save(herdFile, &error), qPrintable(error));
    QVERIFY2(herdLoaded.load(herdFile, &error), qPrintable(error));
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
}

void TestFullwood::init()
{
    TestEnvironment::resetDriveC();
    const Run r = runProgram(FARM_TOOL, {"--system", "fullwood", "--herd", herdFile, "--wineprefix",
                                         TestEnvironment::winePrefix(), "--simulators", SIMULATOR_DIR});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QFile::remove(logDir.filePath("requests"));
    qputenv("TAURUS_REQUEST_LOG", QFile::encodeName(logDir.filePath("requests")));

    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, "jan", "heslo"));
    QVERIFY(recordInsemination(served, Today.addDays(-2)));
    QVERIFY(recordInsemination(known, Today.addDays(-30)));
    QVERIFY(recordInsemination(999999, Today.addDays(-1)));
    QVERIFY(registry->start());
    qputenv("ZAVRA_URL", registry->url().toUtf8());
    exchange::setAnswerWait({20, 50});

    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), 7);
    QSettings *s = window->settingsStore();
    s->setValue(keys::CloudNumber, Cloud);
    s->setValue(keys::CloudUser, "jan");
    s->setValue(keys::CloudPassword, "heslo");
    s->setValue(keys::InsDays, InsDays);
    s->setValue(keys::SendDays, SendDays);
    s->setValue(keys::ImportInseminations, true);
    textArea()->setPlainText("previous run");
}

void TestFullwood::cleanup()
{
    window->settingsStore()->clear();
    delete window;
    window = nullptr;
    delete registry;
    registry = nullptr;
    qunsetenv("TAURUS_EXTRA_ANSWER");
    qunsetenv("TAURUS_FAIL_RECORD");
    exchange::setAnswerWait(exchange::AnswerWait());
}

herd::Herd TestFullwood::herdAfter() const
{
    herd::Herd h;
    QString error;
    h.load(local("herd.json"), &error);
    return h;
}

bool TestFullwood::recordInsemination(int parlour, const QDate &date) const
{
    int rc = -1;
    registry->run({"record-insemination", "--cloud", Cloud, "--animal", QString::number(parlour), "--date",
                   date.toString(Qt::ISODate), "--ordinal", "1", "--bull", "HO 1"},
                  &rc);
    return rc == 0;
}

QString TestFullwood::resultMessage(int downloaded, int written) const
{
    return QString::fromUtf8("Proběhla úspěšná datová výměna.\n\nInseminací: %1/%2\n"
                             "Technologické označení: %3\nBřezost: %4\nZasušení: %5\nPlány: 0")
        .arg(downloaded)
        .arg(written)
        .arg(presentCows)
        .arg(expectedPregnancies.size())
        .arg(expectedDryOffs.size());
}

// The requests the stand-in read in this test, one text each.
QStringList TestFullwood::requestsRead() const
{
    const QString all = QString::fromUtf8(readWholeFile(logDir.filePath("requests")));
    QStringList list;
    for (const QString &part : all.split("ZN\r\n", Qt::SkipEmptyParts))
        list << part + "ZN\r\n";
    return list;
}

void TestFullwood::expectNoWriteBack()
{
    QCOMPARE(requestsRead(), QStringList{QString::fromUtf8(fullwoodRequest())});
    QCOMPARE(readWholeFile(local("tau_ms.2")), fullwoodRequest());
    QCOMPARE(herdAfter().toJson(), herdLoaded.toJson());
}

void TestFullwood::exchange()
{
    QVERIFY(!makeDriveCFile(Dir + "OLD.2", "old").isEmpty());
    QVERIFY(!makeDriveCFile(Dir + "TAU_PRC.2", "VN201863   999").isEmpty());
    QVERIFY(QDir().mkpath(local("folder.2")));
    QVERIFY(!makeDriveCFile(Dir + "notes.txt", "kept").isEmpty());

    ModalAnswerer answerer;
    window->runExchange(true, true);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
    QCOMPARE(answerer.boxes[0].text, resultMessage(3, 1));
    QVERIFY(textArea()->toPlainText().isEmpty());
    QVERIFY(!progressDialogOpen());

    // What the registry received.
    const QJsonObject dump = registry->dump(Cloud);
    QMap<QString, QJsonObject> animals;
    for (const QJsonValue &v : dump.value("animals").toArray())
        animals.insert(v.toObject().value("cislo").toString(), v.toObject());
    QCOMPARE(animals.size(), presentCows);
    QCOMPARE(animals.value(QString::number(number9998)).value("tech_cislo").toString(),
             QStringLiteral("9998"));
    QVERIFY(!animals.value(QString::number(number9999)).contains("tech_cislo"));
    QVERIFY(animals.value(QString::number(numberUnknown)).contains("tech_cislo"));
    QCOMPARE(animals.value(QString::number(numberUnknown)).value("tech_cislo").toString(), QString(""));
    QCOMPARE(animals.value(QString::number(served)).value("tech_cislo").toString(), QString::number(served));
    QCOMPARE(animals.value(QString::number(served)).value("vyrazena").toString(), QStringLiteral("0"));
    QCOMPARE(recordKeys(dump.value("pregnancies").toArray(), "druh"), expectedPregnancies);
    QCOMPARE(recordKeys(dump.value("dryOffs").toArray()), expectedDryOffs);
    for (const char *kind : {"pregnancies", "dryOffs"}) {
        for (const QJsonValue &v : dump.value(kind).toArray()) {
            const QString cislo = v.toObject().value("cislo").toString();
            QVERIFY(cislo != QString::number(eventsBeforeCalving));
            QVERIFY(cislo != QString::number(checkBeforeService) || QLatin1String(kind) == "dryOffs");
        }
    }
    QVERIFY(dump.value("inseminations").toArray().isEmpty());

    // Both requests, the copy of the lines and the herd after the write-back.
    const QByteArray lines = insLine(served, Today.addDays(-2));
    QCOMPARE(readWholeFile(local("tau_ms_ins.txt")), lines);
    const QStringList requests = requestsRead();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].toUtf8(), fullwoodRequest());
    const QString first = requests[1].section("\r\n", 0, 0);
    QVERIFY2(first.startsWith("CN ***** "), qPrintable(first));
    const QDateTime stamp = QDateTime::fromString(first.mid(9), Qt::TextDate);
    QVERIFY2(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 120, qPrintable(first));
    QCOMPARE(requests[1].section("\r\n", 1).toUtf8(), writeBackRequestTail(lines));
    QCOMPARE(readWholeFile(local("tau_ms.2")), requests[1].toUtf8());

    const herd::Herd after = herdAfter();
    const herd::Cow *cow = after.cowByParlour(served);
    QCOMPARE(cow->inseminations.size(), 2);
    QCOMPARE(cow->inseminations.last().date, Today.addDays(-2));
    QCOMPARE(cow->inseminations.last().ordinal, 2);
    QCOMPARE(after.cowByParlour(known)->inseminations.size(), 1);

    // The converter's old files are gone, everything else stays.
    QVERIFY(!QFileInfo::exists(local("OLD.2")));
    QVERIFY(QFileInfo(local("folder.2")).isDir());
    QCOMPARE(readWholeFile(local("notes.txt")), QByteArray("kept"));
}

void TestFullwood::importingOff()
{
    window->settingsStore()->setValue(keys::ImportInseminations, false);
    ModalAnswerer answerer;
    window->exchangeFullwood(false, true);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].text, resultMessage(3, 1));
    QCOMPARE(readWholeFile(local("tau_ms_ins.txt")), insLine(served, Today.addDays(-2)));
    expectNoWriteBack();
}

void TestFullwood::writeBackConverterFails()
{
    qputenv("TAURUS_FAIL_RECORD", "1");
    ModalAnswerer answerer;
    window->exchangeFullwood(false, true);
    // Handed to the converter, which failed: nothing counts as written.
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].text, resultMessage(3, 0));
    QCOMPARE(requestsRead().size(), 2);
    QCOMPARE(herdAfter().toJson(), herdLoaded.toJson());
}

void TestFullwood::nothingToWrite()
{
    // Only rows the milking system holds or does not know.
    delete registry;
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, "jan", "heslo"));
    QVERIFY(recordInsemination(known, Today.addDays(-30)));
    QVERIFY(recordInsemination(424242, Today.addDays(-3)));
    QVERIFY(registry->start());
    qputenv("ZAVRA_URL", registry->url().toUtf8());

    ModalAnswerer answerer;
    window->exchangeFullwood(false, false);
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(QFileInfo(local("tau_ms_ins.txt")).isFile());
    QCOMPARE(readWholeFile(local("tau_ms_ins.txt")), QByteArray());
    expectNoWriteBack();
    QCOMPARE(registry->requests("/api/v1/sync").size(), 1);
}

void TestFullwood::insCopyBlocked_data()
{
    QTest::addColumn<bool>("ShowMessages");
    QTest::newRow("interactive") << true;
    QTest::newRow("timer") << false;
}

void TestFullwood::insCopyBlocked()
{
    QFETCH(bool, ShowMessages);
    QVERIFY(QDir().mkpath(local("tau_ms_ins.txt/inside")));
    ModalAnswerer answerer;
    window->exchangeFullwood(false, ShowMessages);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].title, QStringLiteral("Stablomat"));
    QCOMPARE(answerer.boxes[0].text,
             QString::fromUtf8("Chyba vytváření souboru\n") + local("tau_ms_ins.txt"));
    QVERIFY(QFileInfo(local("tau_ms_ins.txt/inside")).isDir());
    expectNoWriteBack();
    QStringList paths;
    for (const QJsonObject &o : registry->requests())
        paths << o.value("path").toString();
    QCOMPARE(paths, (QStringList{"/api/v1/attach", "/api/v1/sync", "/api/v1/detach"}));
    QVERIFY(textArea()->toPlainText().isEmpty());
    QVERIFY(!progressDialogOpen());
}

void TestFullwood::malformedLines()
{
    QTemporaryDir dir;
    QFile extra(dir.filePath("extra"));
    QVERIFY(extra.open(QIODevice::WriteOnly));
    extra.write(
        "VN201863\r\n"
        "VN201863   77\r\n"
        "VN201863   78    12  2x?\t\t2024010" +
        QByteArray(2000, '9') +
        "\r\n"
        "VN201863   79\x01\x02\xff\xfe garbage ???????????????????????????????????????????????????\r\n"
        "VN201862   80\r\n" +
        QByteArray("VN201863   81\0\r\n", 16));
    extra.close();
    qputenv("TAURUS_EXTRA_ANSWER", QFile::encodeName(extra.fileName()));
    window->settingsStore()->setValue(keys::ImportInseminations, false);
    ModalAnswerer answerer;
    window->exchangeFullwood(false, true);
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY(answerer.boxes[0].text.startsWith(
        QString::fromUtf8("Proběhla úspěšná datová výměna.\n\nInseminací: 3/1\n"
                          "Technologické označení: %1\n")
            .arg(presentCows + 3)));
    QMap<QString, QJsonObject> animals;
    for (const QJsonValue &v : registry->dump(Cloud).value("animals").toArray())
        animals.insert(v.toObject().value("cislo").toString(), v.toObject());
    // The line without a cow id is not stored; the short ones are animals without values.
    QCOMPARE(animals.size(), presentCows + 3);
    QCOMPARE(animals.value("77").value("tech_cislo").toString(), QString(""));
    QCOMPARE(animals.value("78").value("tech_cislo").toString(), QString(""));
    QVERIFY(animals.contains(QStringLiteral("79") + QChar(1)));
    QVERIFY(!animals.contains("80"));
    QCOMPARE(recordKeys(registry->dump(Cloud).value("pregnancies").toArray(), "druh"), expectedPregnancies);
    QCOMPARE(textArea()->toPlainText(), QString::fromUtf8("Přeskočeno nečitelných řádků: 1"));
}

void TestFullwood::noAnswer()
{
    QVERIFY(QFile::remove(local("taupro2.exe")));
    QVERIFY(!makeDriveCFile(Dir + "OLD.2", "old").isEmpty());
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    window->exchangeFullwood(false, true);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
    QVERIFY(!QFileInfo::exists(local("OLD.2")));
    QCOMPARE(readWholeFile(local("tau_ms.2")), fullwoodRequest());
    QVERIFY(textArea()->toPlainText().isEmpty());
    QVERIFY(!progressDialogOpen());
}

void TestFullwood::noWindows()
{
    window->settingsStore()->setValue(keys::InsDays, 0);
    window->settingsStore()->setValue(keys::SendDays, 0);
    ModalAnswerer answerer;
    window->exchangeFullwood(false, true);
    QVERIFY(QFileInfo::exists(local("TAU_PRC.2")));
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
    QVERIFY(!QFileInfo::exists(local("tau_ms_ins.txt")));
    expectNoWriteBack();
}

void TestFullwood::undeletableAnswer()
{
    // An answer left by an earlier run that cannot be removed (a locked file) is not read again.
    QVERIFY(!makeDriveCFile(Dir + "TAU_PRC.2", "VN201863   777\r\n").isEmpty());
    const Immutable lock(local("TAU_PRC.2"));
    if (!lock.set)
        QSKIP("chattr +i is not available here");
    ModalAnswerer answerer;
    window->exchangeFullwood(false, true);
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
    QVERIFY(requestsRead().isEmpty());
}

STABLOMAT_TEST_MAIN(TestFullwood)
#include "tst_fullwood.moc"
