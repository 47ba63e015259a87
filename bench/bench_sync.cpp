// One synchronisation of 10,000 animals and 10,000 events with the reference herd registry on
// loopback: attach, syncZavra (100 inseminations to download), detach. A fresh registry each time.
// Beside it, the sync request built and written as text from the DeLaval records of 1,000, 10,000
// and 100,000 cows ("request", and "request_qt" the way Qt's JSON values did it before), next to
// the read floor of the DeLaval answer those records come from ("read").
#include "common/registryprocess.h"
#include "ziviviver/ziviviver.h"

#include "adapters/delaval/delavalexchange.h"
#include "benchdata.h"
#include "exchange/answerfile.h"
#include "platform/platform.h"
#include "registryclient_p.h"

#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <map>

#include <unistd.h>

namespace {

const QString Cloud = QStringLiteral("4711");

struct Records
{
    QMap<QString, ZARiruvOzav::ddata_zv_t> animals;
    QList<ZARiruvOzav::ddata_ins_t> inseminations;
    QList<ZARiruvOzav::ddata_br_t> pregnancies;
    QList<ZARiruvOzav::ddata_za_t> dryOffs;
    QList<ZARiruvOzav::ddata_plany_t> plans;
    int events() const { return inseminations.size() + pregnancies.size() + dryOffs.size() + plans.size(); }
};

QString life(int i)
{
    return QString::number(200000000 + i);
}

Records herd(int animals, int events)
{
    Records r;
    const QDate today = QDate::currentDate();
    for (int i = 0; i < animals; ++i)
        r.animals.insert(life(i),
                         {life(i), QString::number(i % 9999 + 1),
                          QStringLiteral("9641000%1").arg(i, 8, 10, QLatin1Char('0')), QStringLiteral("0")});
    for (int e = 0; e < events; ++e) {
        const int i = e % animals;
        const QDate d = today.addDays(-(e % 25));
        switch (e % 4) {
        case 0:
            r.inseminations.append({life(i), d, 1, e % 5 + 1, QStringLiteral("HO%1").arg(e % 60)});
            break;
        case 1:
            r.pregnancies.append({life(i), d, 1 + e % 2, QVariant(), QVariant(), QVariant()});
            break;
        case 2:
            r.dryOffs.append({life(i), d, QVariant()});
            break;
        default:
            r.plans.append({life(i), d.addDays(30), 1});
            break;
        }
    }
    return r;
}

void BM_Sync(benchmark::State &state)
{
    const int animals = int(state.range(0));
    const Records records = herd(animals, int(state.range(1)));
    qputenv("ZAVRA_TIMEOUT_MS", "120000");
    for (auto _ : state) {
        state.PauseTiming();
        RegistryProcess registry;
        if (!registry.addUser(Cloud, QStringLiteral("jan"), QStringLiteral("heslo")) || !registry.start()) {
            state.SkipWithError("the registry did not start");
            break;
        }
        for (int i = 0; i < 100; ++i)
            registry.run({QStringLiteral("record-insemination"), QStringLiteral("--cloud"), Cloud,
                          QStringLiteral("--animal"), life(i * 37 % animals), QStringLiteral("--date"),
                          QDate::currentDate().addDays(-(i % 20)).toString(Qt::ISODate)});
        qputenv("ZAVRA_URL", registry.url().toUtf8());
        state.ResumeTiming();

        ZARiruvOzav zavra;
        int rc = zavra.attach(nullptr, Cloud, 0, QStringLiteral("ZAVRA"), QStringLiteral("jan"),
                              QStringLiteral("heslo"), nullptr, nullptr, nullptr);
        QList<ZARiruvOzav::zavra_ins_row_t> downloaded;
        int a = 0, i = 0, p = 0, d = 0, pl = 0;
        if (rc >= 0 && zavra.loggedIn)
            rc = zavra.syncZavra(false, 1, 30, 1, 30, true, true, records.animals, records.inseminations,
                                 records.pregnancies, records.dryOffs, records.plans, downloaded, a, i, p, d,
                                 pl);
        zavra.detach();

        state.PauseTiming();
        if (rc < 0 || a != animals || downloaded.size() != 100) {
            state.SkipWithError(qPrintable(QStringLiteral("sync failed: %1, %2 animals, %3 downloaded")
                                               .arg(rc)
                                               .arg(a)
                                               .arg(downloaded.size())));
            break;
        }
        registry.stop();
        state.ResumeTiming();
    }
    state.counters["animals"] = animals;
    state.counters["events"] = records.events();
}
BENCHMARK(BM_Sync)->Args({10000, 10000})->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The records of the DeLaval answer for that many cows, as the adapter hands them on; read once.
const HerdRecords *delavalRecords(int cows)
{
    static std::map<int, HerdRecords> read;
    auto it = read.find(cows);
    if (it == read.end()) {
        QFile f(benchdata::answer(QStringLiteral("delaval"), cows));
        if (!f.open(QIODevice::ReadOnly))
            return nullptr;
        delaval::ReadingRules rules;
        rules.insDays = 30;
        rules.sendDays = 60;
        rules.today = QDate::fromString(benchdata::referenceDay(), Qt::ISODate);
        exchange::AnswerLines lines(f);
        it = read.emplace(cows, delaval::readAnswer(lines, rules).records).first;
    }
    return &it->second;
}

zavra::SyncArguments delavalArguments()
{
    zavra::SyncArguments args;
    args.download = 1;
    args.insDays = 30;
    args.send = 1;
    args.sendDays = 60;
    args.sendInseminations = true;
    return args;
}

QByteArray requestBody(const HerdRecords &r)
{
    return zavra::syncRequestBody(delavalArguments(), r.animals, r.inseminations, r.pregnancies, r.dryOffs,
                                  r.plans);
}

QByteArray requestThroughQt(const HerdRecords &r)
{
    return QJsonDocument(zavra::syncRequest(delavalArguments(), r.animals, r.inseminations, r.pregnancies,
                                            r.dryOffs, r.plans))
        .toJson(QJsonDocument::Compact);
}

void BM_Read(benchmark::State &state)
{
    const QString path = benchdata::answer(QStringLiteral("delaval"), int(state.range(0)));
    static char buffer[64 * 1024];
    qint64 bytes = 0;
    for (auto _ : state) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            state.SkipWithError("no answer");
            return;
        }
        while (::read(f.handle(), buffer, sizeof buffer) > 0) {
        }
        bytes += f.size();
    }
    state.SetBytesProcessed(bytes);
}

void BM_Request(benchmark::State &state, bool throughQt)
{
    const HerdRecords *r = delavalRecords(int(state.range(0)));
    // The text sent is the one Qt's writer gave.
    if (!r || requestBody(*r) != requestThroughQt(*r)) {
        state.SkipWithError(r ? "the request texts differ" : "no answer");
        return;
    }
    qint64 bytes = 0;
    for (auto _ : state)
        bytes += (throughQt ? requestThroughQt(*r) : requestBody(*r)).size();
    state.SetBytesProcessed(bytes);
    state.counters["animals"] = r->animals.size();
}

void BM_RequestBody(benchmark::State &state)
{
    BM_Request(state, false);
}

void BM_RequestThroughQt(benchmark::State &state)
{
    BM_Request(state, true);
}

BENCHMARK(BM_Read)->Name("read/delaval")->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestBody)
    ->Name("request/delaval")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestThroughQt)
    ->Name("request_qt/delaval")
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    platform::prepareProcess(); // as the program does
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
