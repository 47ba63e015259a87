// Whole DeLaval exchanges: a farm laid out by farm-tool under the test's WINEPREFIX, the real
// iso32.exe stand-in run through the shell, the reference herd registry on loopback.
#include "common/testsupport.h"
#include "delaval/delavalrequest.h"

#include "common/registryprocess.h"
#include "common/simprocess.h"

#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextEdit>

namespace {

const QString Cloud = QStringLiteral("2207");
const QString User = QStringLiteral("farma");
const QString Password = QString::fromUtf8("dojnice ŽÍŇ");
const int Cows = 40;
const int InsDays = 365;
const int SendDays = 120;

const char *const FaultVariables[] = {"ISO32_DELAY_MS", "ISO32_DATE_FORMAT", "ISO32_EXIT_CODE"};

QByteArray expectedRecordFile(const QStringList &valueLines)
{
    QStringList lines = HeaderLines;
    lines << ""
          << "CN ***** Reprodukce *****"
          << "CN      | cow      |ins       |insp      |sire name"
          << ""
          << "DN39000600300001060003003570800030003702000300374150" << valueLines << ""
          << "ZN";
    return crlf(lines);
}

QString recordLine(int parlour, const QDate &date, int ordinal, const QString &sire)
{
    return QStringLiteral("VN390006%1%2%3%4")
        .arg(parlour, 6)
        .arg(date.toString("yyyyMMdd"))
        .arg(ordinal, 2)
        .arg(sire.isNull() ? QString(15, '?') : sire, 15);
}

QString sireCode(const QString &sire)
{
    return sire.toLower().remove('-').remove(' ');
}

// What the registry must receive for a herd, worked out from the herd file itself.
struct Expected
{
    QJsonArray animals;
    QJsonArray inseminations;
    QJsonArray pregnancies;
    QJsonArray dryOffs;
    bool shortNumbers = true;
    // How often the herd exercised each rule.
    int outsideWindow = 0;
    int beforeCalving = 0;
    int abortionBeforeInsemination = 0;
};

Expected expectedRecords(const herd::Herd &h, const QDate &today, int sendDays)
{
    Expected e;
    QVector<const herd::Cow *> order;
    for (const herd::Cow &c : h.cows)
        order << &c;
    std::stable_sort(order.begin(), order.end(),
                     [](const herd::Cow *a, const herd::Cow *b) { return a->parlour < b->parlour; });
    QMap<QString, QJsonObject> animals;
    const QDate start = today.addDays(-sendDays);
    for (const herd::Cow *c : order) {
        const QString life = herd::significantDigits(c->registration);
        if (life.size() >= 9)
            e.shortNumbers = false;
        animals.insert(life, QJsonObject{{"cislo", life},
                                         {"tech_cislo", QString::number(c->parlour)},
                                         {"vyrazena", c->isPresent() ? "0" : "1"}});
        const QDate calving = c->lastCalving();
        auto sinceCalving = [&](const QDate &d) {
            if (calving.isValid() && d.isValid() && d < calving) {
                ++e.beforeCalving;
                return QDate();
            }
            return d;
        };
        auto inWindow = [&](const QDate &d) {
            if (d.isValid() && d < start)
                ++e.outsideWindow;
            return d.isValid() && d >= start;
        };
        const herd::Insemination *ins = c->lastInsemination();
        const herd::PregnancyCheck *check = c->lastPregnancyCheck();
        const QDate insDate = sinceCalving(ins ? ins->date : QDate());
        const QDate checkDate = sinceCalving(check ? check->date : QDate());
        const QDate dryOff = sinceCalving(c->lastDryOff());
        QDate abortion = sinceCalving(c->lastAbortion());
        if (insDate.isValid() && abortion.isValid() && abortion < insDate) {
            ++e.abortionBeforeInsemination;
            abortion = QDate();
        }
        if (inWindow(insDate)) {
            QJsonObject o{{"cislo", life},
                          {"datum", insDate.toString(Qt::ISODate)},
                          {"druh", 1},
                          {"poradi", ins->ordinal}};
            if (!ins->sire.isEmpty())
                o.insert("byk", sireCode(ins->sire));
            e.inseminations << o;
        }
        if (inWindow(checkDate))
            e.pregnancies << QJsonObject{{"cislo", life},
                                         {"datum", checkDate.toString(Qt::ISODate)},
                                         {"druh", check->pregnant ? 1 : 2}};
        if (inWindow(abortion))
            e.pregnancies << QJsonObject{
                {"cislo", life}, {"datum", abortion.toString(Qt::ISODate)}, {"druh", 4}};
        if (inWindow(dryOff))
            e.dryOffs << QJsonObject{{"cislo", life}, {"datum", dryOff.toString(Qt::ISODate)}};
    }
    for (const QJsonObject &o : animals)
        e.animals << o;
    return e;
}

// The milk-yield text for a herd and the milking-period choices, worked out from its milkings:
// period k takes the day's and the day before's k-th milking.
QString expectedMilk(const herd::Herd &h, const QList<int> &choices, int *previousDay)
{
    const QList<QDateTime> bounds = boundsForChoices(choices);
    struct Entry
    {
        float milk = 0;
        QDateTime when;
    };
    QMap<QString, Entry> periods[3];
    const QDate today = h.referenceDay;
    for (const herd::Cow &c : h.cows) {
        const QString life = herd::significantDigits(c.registration);
        const QVector<herd::Milking> days[2] = {c.milkingsOn(today), c.milkingsOn(today.addDays(-1))};
        for (int k = 0; k < 3; ++k) {
            for (int d = 0; d < 2; ++d) {
                if (k >= days[d].size())
                    continue;
                const herd::Milking &m = days[d].at(k);
                const QDateTime at = m.at();
                if (!(m.kg > 0) || !bounds[2 * k].isValid() || at < bounds[2 * k] || at > bounds[2 * k + 1])
                    continue;
                Entry &e = periods[k][life];
                e.milk += float(m.kg);
                if (!e.when.isValid())
                    e.when = at;
                if (d == 1)
                    ++*previousDay;
            }
        }
    }
    QString text = "USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n";
    for (int k = 0; k < 3; ++k)
        for (auto it = periods[k].cbegin(); it != periods[k].cend(); ++it)
            text += QStringLiteral("%1,%2,%3,,%4\n")
                        .arg(it.key())
                        .arg(k + 1)
                        .arg(it->when.toString("yyyyMMdd hh:mm:ss"))
                        .arg(QString::asprintf("%.1f", double(it->milk)));
    return text;
}

// Records the texts the progress dialog shows while it lives.
class ProgressWatcher : public QObject
{
public:
    explicit ProgressWatcher(MainWindow *w) : window(w)
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *d = window->findChild<DialogInfo *>()) {
                if (d->isVisible() && (texts.isEmpty() || texts.last() != d->text()))
                    texts << d->text();
            }
        });
        timer.start(2);
    }
    QStringList texts;

private:
    MainWindow *window;
    QTimer timer;
};

} // namespace

class TestDelavalExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void repeatedRun();
    void milkYields();
    void timerRun();
    void noAnswer_data();
    void noAnswer();
    void registryDown_data();
    void registryDown();

private:
    // Lays out the farm and builds the window on it.
    void openFarm(const QString &system, const QString &herdFile);
    void setExchange(int insDays, int sendDays, bool sendInseminations, bool importAllowed);
    // Recorded in the registry; ordinal 0 and an empty bull are left out.
    bool record(const QString &life, const QDate &date, int ordinal, const QString &bull)
    {
        return registry->recordInsemination(Cloud, life, date, ordinal > 0 ? QVariant(ordinal) : QVariant(),
                                            bull);
    }
    herd::Herd herdNow() const { return loadHerd(dir() + "herd.json"); }
    // A cow in milk, present, not served in the last three days.
    const herd::Cow *unservedCow(const herd::Herd &h) const;
    QTextEdit *textArea() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }
    QString dir() const { return converterDir; }
    // The window made again with these milking periods, as after the user chose them.
    void choosePeriods(const QList<int> &values);

    QTemporaryDir herdDir;
    QString plainHerd;
    QString longHerd;
    QDate today;
    QString converterDir;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestDelavalExchange::initTestCase()
{
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
    today = QDate::currentDate();
    const QStringList common{"--today", today.toString(Qt::ISODate)};
    plainHerd = generateHerdFile(herdDir.filePath("plain.json"), Cows, 11, common);
    longHerd =
        generateHerdFile(herdDir.filePath("long.json"), Cows, 12, common + QStringList{"--long-numbers"});
    QVERIFY(!plainHerd.isEmpty() && !longHerd.isEmpty());
}

void TestDelavalExchange::init()
{
    TestEnvironment::resetDriveC();
    exchange::setAnswerWait({20, 50});
    exchange::setConverterLimits({5000, 60000});
    registry = new RegistryProcess;
    QVERIFY(registry->addUser(Cloud, User, Password));
    QVERIFY(registry->serve());
}

void TestDelavalExchange::cleanup()
{
    discardWindow(window);
    delete registry;
    registry = nullptr;
    for (const char *name : FaultVariables)
        qunsetenv(name);
    exchange::setAnswerWait(exchange::AnswerWait());
    exchange::setConverterLimits(exchange::ConverterLimits());
}

void TestDelavalExchange::choosePeriods(const QList<int> &values)
{
    delete window;
    storeMilkingPeriods(values);
    window = new MainWindow;
    window->computeMilkingPeriods();
}

void TestDelavalExchange::openFarm(const QString &system, const QString &herdFile)
{
    const QByteArray error = layOutFarm(system, herdFile);
    QVERIFY2(error.isEmpty(), error.constData());
    window = new MainWindow;
    QCOMPARE(window->milkingSystem(), system == "alpro" ? 1 : 2);
    converterDir = QFileInfo(platform::localPath(window->milkingSystemPath())).absolutePath() + "/";
    QVERIFY(QFileInfo::exists(converterDir + "herd.json"));
    storeCloud(window->settingsStore(), Cloud, User, Password);
}

void TestDelavalExchange::setExchange(int insDays, int sendDays, bool sendInseminations, bool importAllowed)
{
    QSettings *s = window->settingsStore();
    storeCloud(s, Cloud, User, Password, insDays, sendDays);
    s->setValue(keys::SendInseminations, sendInseminations);
    s->setValue(keys::ImportInseminations, importAllowed);
}

const herd::Cow *TestDelavalExchange::unservedCow(const herd::Herd &h) const
{
    for (const herd::Cow &c : h.cows) {
        if (c.isPresent() && c.lactation() > 0 &&
            (!c.lastInsemination() || c.lastInsemination()->date < today.addDays(-3)))
            return &c;
    }
    return nullptr;
}

void TestDelavalExchange::roundTrip_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<QString>("dateFormat");
    QTest::addColumn<bool>("longNumbers");
    QTest::addColumn<bool>("sendInseminations");
    QTest::addColumn<bool>("importAllowed");

    QTest::newRow("alpro, Czech dates") << "alpro" << QString() << false << true << true;
    QTest::newRow("delpro, mixed dates, nine-digit numbers") << "delpro"
                                                             << "mixed" << true << true << true;
    QTest::newRow("alpro, mixed dates, inseminations not sent") << "alpro"
                                                                << "mixed" << false << false << true;
    QTest::newRow("delpro, eight-digit dates, write-back not allowed")
        << "delpro"
        << "yyyyMMdd" << false << true << false;
}

void TestDelavalExchange::roundTrip()
{
    QFETCH(QString, system);
    QFETCH(QString, dateFormat);
    QFETCH(bool, longNumbers);
    QFETCH(bool, sendInseminations);
    QFETCH(bool, importAllowed);
    if (!dateFormat.isEmpty())
        qputenv("ISO32_DATE_FORMAT", dateFormat.toUtf8());
    openFarm(system, longNumbers ? longHerd : plainHerd);
    setExchange(InsDays, SendDays, sendInseminations, importAllowed);
    const herd::Herd before = herdNow();
    const QByteArray herdBytes = readWholeFile(dir() + "herd.json");

    // The cloud holds: the last insemination of one cow (already in the parlour), a new one for a
    // cow with a two-digit number, one without ordinal and bull, and one for an unknown animal.
    const herd::Cow *known = nullptr;
    const herd::Cow *twoDigit = nullptr;
    const herd::Cow *bare = nullptr;
    for (const herd::Cow &c : before.cows) {
        const herd::Insemination *last = c.lastInsemination();
        const bool served = last && last->date >= c.lastCalving() && last->date > today.addDays(-300);
        if (!c.isPresent() || (last && last->date >= today.addDays(-2)))
            continue;
        if (!known && served)
            known = &c;
        else if (!twoDigit && c.parlour >= 10 && c.parlour <= 99)
            twoDigit = &c;
        else if (!bare && c.lactation() > 0)
            bare = &c;
    }
    QVERIFY(known && twoDigit && bare);
    const QString knownLife = herd::significantDigits(known->registration);
    const QDate knownDate = known->lastInsemination()->date;
    const int newOrdinal = twoDigit->ordinalFor(today);
    const int bareOrdinal = bare->ordinalFor(today.addDays(-1));
    QVERIFY(record(knownLife, knownDate, known->lastInsemination()->ordinal, "HO 1"));
    QVERIFY(record("999999999", today.addDays(-3), 1, "CZ 1"));
    QVERIFY(record(herd::significantDigits(bare->registration), today.addDays(-1), 0, QString()));
    QVERIFY(record(herd::significantDigits(twoDigit->registration), today, newOrdinal, "CZ 61317"));

    ProgressWatcher progress(window);
    ModalAnswerer answerer;
    window->exchangeDelaval(false, true);

    // The request, byte for byte.
    QCOMPARE(readWholeFile(dir() + "stablomat_in.txt"), expectedRequest());

    // What the registry received.
    const Expected e = expectedRecords(before, today, SendDays);
    QVERIFY(e.outsideWindow > 0 && e.beforeCalving > 0 && e.abortionBeforeInsemination > 0);
    QVERIFY(!e.inseminations.isEmpty() && !e.pregnancies.isEmpty() && !e.dryOffs.isEmpty());
    QCOMPARE(e.shortNumbers, !longNumbers);
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value("shortNumbers").toBool(), e.shortNumbers);
    QCOMPARE(body.value("download").toInt(), 1);
    QCOMPARE(body.value("insDays").toInt(), InsDays);
    QCOMPARE(body.value("send").toInt(), 1);
    QCOMPARE(body.value("sendDays").toInt(), SendDays);
    QCOMPARE(body.value("sendInseminations").toBool(), sendInseminations);
    QCOMPARE(body.value("complete").toBool(), true);
    QCOMPARE(body.value("animals").toArray(), e.animals);
    QCOMPARE(body.value("inseminations").toArray(), sendInseminations ? e.inseminations : QJsonArray());
    QCOMPARE(body.value("pregnancies").toArray(), e.pregnancies);
    QCOMPARE(body.value("dryOffs").toArray(), e.dryOffs);
    QCOMPARE(body.value("plans").toArray(), QJsonArray());

    // The result, with headings.
    const int sentInseminations = sendInseminations ? e.inseminations.size() : 0;
    const QString message = QString::fromUtf8("Proběhla úspěšná datová výměna.\n\n"
                                              "Přijato\n  Inseminací: 4/2\n"
                                              "Odesláno\n  Technologické označení: %1\n  Inseminací: %2\n"
                                              "  Březost: %3\n  Zasušení: %4\n  Plány: 0")
                                .arg(e.animals.size())
                                .arg(sentInseminations)
                                .arg(e.pregnancies.size())
                                .arg(e.dryOffs.size());
    QCOMPARE(answerer.texts(), QStringList{message});
    QCOMPARE(answerer.boxes.at(0).title, QString("Stablomat"));
    QCOMPARE(answerer.boxes.at(0).icon, QString("information"));
    QCOMPARE(textArea()->toPlainText(), QString());
    QVERIFY(!window->findChild<DialogInfo *>());
    QVERIFY(progress.texts.contains(QString::fromUtf8("Zpracovávám sestavu...")));
    QVERIFY(!progress.texts.contains(QString::fromUtf8("Vytvářím sestavu...")) ||
            progress.texts.indexOf(QString::fromUtf8("Vytvářím sestavu...")) == 0);

    // The write-back: the two rows the parlour lacks, oldest first.
    const QStringList lines{recordLine(bare->parlour, today.addDays(-1), 0, QString()),
                            recordLine(twoDigit->parlour, today, newOrdinal, "CZ 61317")};
    QVERIFY(lines.at(1).startsWith(QStringLiteral("VN390006    ") + QString::number(twoDigit->parlour)));
    const herd::Herd after = herdNow();
    if (!importAllowed) {
        QVERIFY(!QFileInfo::exists(dir() + "fin_stablomat_modify.ads"));
        QCOMPARE(readWholeFile(dir() + "herd.json"), herdBytes);
        return;
    }
    QCOMPARE(readWholeFile(dir() + "fin_stablomat_modify.ads"), expectedRecordFile(lines));
    QVERIFY(readWholeFile(dir() + "fout_stablomat_modify.ads").startsWith("2 of 2 inseminations imported"));
    int added = 0;
    for (int i = 0; i < before.cows.size(); ++i)
        added += after.cows.at(i).inseminations.size() - before.cows.at(i).inseminations.size();
    QCOMPARE(added, 2);
    const herd::Insemination *got = after.cowByParlour(twoDigit->parlour)->lastInsemination();
    QCOMPARE(got->date, today);
    QCOMPARE(got->sire, QString("CZ 61317"));
    QCOMPARE(got->ordinal, newOrdinal);
    got = after.cowByParlour(bare->parlour)->lastInsemination();
    QCOMPARE(got->date, today.addDays(-1));
    QCOMPARE(got->sire, QString());
    QCOMPARE(got->ordinal, bareOrdinal);
    QCOMPARE(after.cowByParlour(known->parlour)->inseminations.size(), known->inseminations.size());
}

void TestDelavalExchange::repeatedRun()
{
    // Only each cow's last insemination is known to the adapter: an older one that the first run
    // wrote back is handed to the converter again, which keeps one insemination per date.
    openFarm("alpro", plainHerd);
    setExchange(InsDays, 0, true, true);
    const herd::Herd before = herdNow();
    const herd::Cow *cow = unservedCow(before);
    QVERIFY(cow);
    const QString life = herd::significantDigits(cow->registration);
    QVERIFY(record(life, today.addDays(-2), 1, "HO 7"));
    QVERIFY(record(life, today.addDays(-1), 2, "HO 7"));

    ModalAnswerer answerer;
    window->exchangeDelaval(false, true);
    const QByteArray once = readWholeFile(dir() + "herd.json");
    window->exchangeDelaval(false, true);

    const QStringList texts = answerer.texts();
    QCOMPARE(texts.size(), 2);
    QVERIFY(texts.at(0).contains(QString::fromUtf8("Inseminací: 2/2\n")));
    QVERIFY(texts.at(1).contains(QString::fromUtf8("Inseminací: 2/1\n")));
    QCOMPARE(readWholeFile(dir() + "fin_stablomat_modify.ads"),
             expectedRecordFile({recordLine(cow->parlour, today.addDays(-2), 1, "HO 7")}));
    // The herd holds each insemination once.
    QCOMPARE(readWholeFile(dir() + "herd.json"), once);
    const herd::Herd after = herdNow();
    QCOMPARE(after.cowByParlour(cow->parlour)->inseminations.size(), cow->inseminations.size() + 2);
    // With the send window 0 no event was sent, the animals all the same.
    const QJsonObject body = registry->lastBody();
    QCOMPARE(body.value("send").toInt(), 0);
    QCOMPARE(body.value("animals").toArray().size(), Cows);
    QVERIFY(!body.contains("inseminations") && !body.contains("pregnancies"));
}

void TestDelavalExchange::milkYields()
{
    openFarm("delpro", plainHerd);
    setExchange(0, 0, true, true);
    // Period 1: yesterday 00:00 to today 10:59:59; period 2: today 11:00 to 23:59:59; period 3:
    // yesterday 12:00 to today 23:59:59.
    const QList<int> threePeriods{1, 1, 1, 1, 0, 0, 10, 0, 11, 0, 23, 1, 12, 0, 23};
    choosePeriods(threePeriods);
    int previousDay = 0;
    const QString csv = expectedMilk(herdNow(), threePeriods, &previousDay);
    QVERIFY(previousDay > 0);
    QVERIFY(csv.count('\n') > Cows);

    ModalAnswerer answerer;
    textArea()->setPlainText("previous run");
    window->exchangeDelaval(true, true);
    QCOMPARE(textArea()->toPlainText(), csv);
    // Both windows 0: no cloud contact and no message.
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());

    // Period 3 not in use counts nothing; without FetchYields the text area stays empty.
    const QList<int> twoOfThem{1, 1, 0, 1, 0, 0, 10, 0, 11, 0, 23, 1, 12, 0, 23};
    choosePeriods(twoOfThem);
    const QString twoPeriods = expectedMilk(herdNow(), twoOfThem, &previousDay);
    window->exchangeDelaval(true, true);
    QCOMPARE(textArea()->toPlainText(), twoPeriods);
    QVERIFY(!twoPeriods.contains(",3,"));
    window->exchangeDelaval(false, true);
    QCOMPARE(textArea()->toPlainText(), QString());
}

void TestDelavalExchange::timerRun()
{
    openFarm("alpro", plainHerd);
    setExchange(InsDays, SendDays, true, true);
    window->settingsStore()->setValue(keys::ExchangeHours, 1);
    window->settingsStore()->setValue(keys::FetchYields, true);
    const herd::Herd before = herdNow();
    const herd::Cow *cow = unservedCow(before);
    QVERIFY(cow);
    QVERIFY(record(herd::significantDigits(cow->registration), today, 0, "HO 7"));

    ModalAnswerer answerer;
    for (int tick = 0; tick < 3600; ++tick)
        window->timerTimeout();
    QVERIFY(answerer.boxes.isEmpty());
    QCOMPARE(textArea()->toPlainText(), QString());
    // It ran all the same: the records went out and the insemination came in.
    QCOMPARE(registry->lastBody().value("animals").toArray().size(), Cows);
    QCOMPARE(herdNow().cowByParlour(cow->parlour)->lastInsemination()->date, today);
}

void TestDelavalExchange::noAnswer_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("converterRun");
    QTest::newRow("converter writes nothing") << "silent" << true;
    QTest::newRow("converter hangs past its limit") << "hangs" << true;
    QTest::newRow("herd file unreadable") << "herd" << true;
    QTest::newRow("old answer cannot be removed") << "stale" << false;
}

void TestDelavalExchange::noAnswer()
{
    QFETCH(QString, fault);
    QFETCH(bool, converterRun);
    openFarm("alpro", plainHerd);
    setExchange(InsDays, SendDays, true, true);
    choosePeriods({1, 1, 1, 1, 0, 0, 10, 0, 11, 0, 23, 1, 12, 0, 23});
    if (fault == "silent") {
        QVERIFY(QFile::remove(dir() + "iso32.exe"));
        QVERIFY(writeScript(dir() + "iso32.exe", "#!/bin/sh\nexit 0\n"));
    } else if (fault == "hangs") {
        qputenv("ISO32_DELAY_MS", "20000");
        exchange::setConverterLimits({5000, 300});
    } else {
        QVERIFY(writeWholeFile(dir() + "herd.json",
                               "{\"format\": \"stablomat-herd\", \"version\": 1, \"cows\": ["));
    }
    // An answer left from an earlier run is not taken for this run's.
    const QString oldAnswer = dir() + "stablomat_out.txt";
    if (fault == "stale") {
        // Something the run cannot delete (on Windows: a file another program holds open).
        QVERIFY(QDir().mkpath(oldAnswer + "/held"));
    } else {
        QVERIFY(writeWholeFile(oldAnswer, "1\t\t\n"));
    }

    exchange::setAnswerWait({5, 20});
    ProgressWatcher progress(window);
    ModalAnswerer answerer;
    textArea()->setPlainText("previous run");
    QElapsedTimer t;
    t.start();
    window->exchangeDelaval(true, true);
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));

    QVERIFY(answerer.boxes.isEmpty());
    QCOMPARE(textArea()->toPlainText(), QString());
    QVERIFY(registry->requests().isEmpty());
    QVERIFY(!window->findChild<DialogInfo *>());
    if (!converterRun) {
        QVERIFY(!progress.texts.contains(QString::fromUtf8("Čekám na sestavu...")));
        QVERIFY(!QFileInfo::exists(dir() + "stablomat_in.txt"));
        return;
    }
    QStringList texts = progress.texts;
    texts.removeAll(QString::fromUtf8("Vytvářím sestavu..."));
    QCOMPARE(texts, QStringList{QString::fromUtf8("Čekám na sestavu...")});
    QCOMPARE(readWholeFile(dir() + "stablomat_in.txt"), expectedRequest());
    QVERIFY(!QFileInfo::exists(oldAnswer));
}

void TestDelavalExchange::registryDown_data()
{
    QTest::addColumn<bool>("ShowMessages");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("interactive")
        << true
        << QStringList{
               QString::fromUtf8("Chyba: -1\nRegistr není dostupný – zkontrolujte připojení k internetu.")};
    QTest::newRow("timer") << false << QStringList();
}

void TestDelavalExchange::registryDown()
{
    QFETCH(bool, ShowMessages);
    QFETCH(QStringList, boxes);
    openFarm("delpro", plainHerd);
    setExchange(InsDays, SendDays, true, true);
    const herd::Herd before = herdNow();
    QVERIFY(record(herd::significantDigits(before.cows.first().registration), today, 1, "HO 7"));
    QCOMPARE(registry->stop(), 0);
    const QByteArray herdBytes = readWholeFile(dir() + "herd.json");

    choosePeriods({1, 0, 0, 1, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0});
    ModalAnswerer answerer;
    window->exchangeDelaval(true, ShowMessages);
    QCOMPARE(answerer.texts(), boxes);
    QVERIFY(!QFileInfo::exists(dir() + "fin_stablomat_modify.ads"));
    QCOMPARE(readWholeFile(dir() + "herd.json"), herdBytes);
    // The milk text is left all the same.
    QVERIFY(textArea()->toPlainText().startsWith("USNI_CISLO,PORADI,DATUM_CAS,MLEKO_PRUMER,MLEKO\n"));
    QVERIFY(textArea()->toPlainText().count('\n') > 1);
}

STABLOMAT_TEST_MAIN(TestDelavalExchange)
#include "tst_delavalexchange.moc"
