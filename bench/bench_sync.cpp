// One synchronisation of 10,000 animals and 10,000 events with the reference herd registry on
// loopback: attach, syncZavra (100 inseminations to download), detach. A fresh registry each time.
#include "ziviviver/registryprocess.h"
#include "ziviviver/ziviviver.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDate>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

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
