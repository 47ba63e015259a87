// Answer into records, for each system at 1,000, 10,000 and 100,000 cows, next to two floors: reading
// the same bytes and nothing else ("read": a read() loop into one reused 64 KiB buffer), and reading
// them as the answer's text lines ("lines"). Bytes per second are the file's; scripts/bench.sh turns
// the times into ms per 10,000 cows.
//   bench_answers peak <kind> <cows>   peak resident memory of the reading into records, alone
#include "adapters/afikim/afikimreport.h"
#include "adapters/delaval/delavalexchange.h"
#include "adapters/taurus/taurusexchange.h"
#include "adapters/westfalia/westfaliaanswers.h"
#include "benchdata.h"
#include "exchange/answerfile.h"
#include "procstats.h"
#include "ziviviver/ziviviver.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include <unistd.h>

namespace {

const QDate Today = QDate::fromString(benchdata::referenceDay(), Qt::ISODate);

using Reader = std::function<int(QFile &)>; // returns something that depends on the whole reading

int readBytes(QFile &f)
{
    static char buffer[64 * 1024];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::read(f.handle(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        total += n;
    }
    return int(total);
}

int lines(QFile &f)
{
    return exchange::readAnswerLines(f).size();
}

int delavalRecords(QFile &f)
{
    delaval::ReadingRules rules;
    rules.insDays = 30;
    rules.sendDays = 60;
    rules.today = Today;
    rules.fetchYields = true;
    const QDateTime day(Today.addDays(-1), QTime(0, 0));
    rules.periods[0] = {day, day.addSecs(12 * 3600 - 1)};
    rules.periods[1] = {day.addSecs(12 * 3600), day.addSecs(24 * 3600 - 1)};
    exchange::AnswerLines lines(f);
    const delaval::HerdReading r = delaval::readAnswer(lines, rules);
    return r.cows + int(r.milk[0].size());
}

int dairyPlanRecords(QFile &f)
{
    exchange::AnswerLines lines(f);
    return westfalia::readReproductionAnswer(lines, 30, 60, Today).records.animals.size();
}

int dairyPlanMilk(QFile &f)
{
    westfalia::MilkingPeriods periods;
    const QDateTime day(Today.addDays(-1), QTime(0, 0));
    periods[0] = {day, day.addSecs(12 * 3600 - 1)};
    periods[1] = {day.addSecs(12 * 3600), day.addSecs(24 * 3600 - 1)};
    exchange::AnswerLines lines(f);
    return westfalia::milkYieldText(lines, periods).size();
}

int taurusRecords(QFile &f)
{
    exchange::AnswerLines lines(f);
    return taurus::fullwoodHerd(lines, 30, 60, Today).records.animals.size();
}

// The DIF reader takes a file name; the file's bytes are read as well, for the byte count.
int difRecords(QFile &f)
{
    EDifReader reader(f.fileName());
    reader.init();
    const afikim::ReportTable table = afikim::readTable(reader);
    return afikim::readReport(table, afikim::matchColumns(table.value(0)), 30, 60,
                              QDateTime(Today, QTime(13, 0)))
        .records.animals.size();
}

int difCells(QFile &f)
{
    EDifReader reader(f.fileName());
    reader.init();
    return reader.rowCount;
}

void measure(benchmark::State &state, const QString &kind, const Reader &reader)
{
    const int cows = int(state.range(0));
    const QString path = benchdata::answer(kind, cows);
    if (path.isEmpty()) {
        state.SkipWithError("no answer");
        return;
    }
    qint64 bytes = 0;
    for (auto _ : state) {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        benchmark::DoNotOptimize(reader(f));
        bytes += f.size();
    }
    state.SetBytesProcessed(bytes);
    state.counters["cows"] = cows;
}

struct Kind
{
    const char *name;
    QString answer;
    Reader reader;
};

const Kind Kinds[] = {
    {"delaval", QStringLiteral("delaval"), delavalRecords},
    {"dairyplan_reproduction", QStringLiteral("dairyplan-reproduction"), dairyPlanRecords},
    {"dairyplan_milk", QStringLiteral("dairyplan-milk"), dairyPlanMilk},
    {"taurus", QStringLiteral("taurus"), taurusRecords},
    {"afifarm_dif", QStringLiteral("dif"), difRecords},
    {"dif_reader", QStringLiteral("dif"), difCells},
};

// Peak resident memory before and after one reading, in MB, with the answer's size.
int peak(const QString &kind, int cows)
{
    for (const Kind &k : Kinds) {
        if (QLatin1String(k.name) != kind)
            continue;
        const QString path = benchdata::answer(k.answer, cows);
        QFile f(path);
        if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
            return 1;
        const ProcStats before = procStats();
        const int result = k.reader(f);
        const ProcStats after = procStats();
        std::printf("peak: %s, %d cows, answer %.1f MB: resident %.1f MB before, peak %.1f MB (%d)\n", k.name,
                    cows, double(f.size()) / 1e6, double(before.peakRssKb) / 1024,
                    double(after.peakRssKb) / 1024, result);
        return 0;
    }
    return 2;
}

// What a reading must hand back for that many cows, made from numbers ready beforehand and freed
// again: the animals with their texts, the known inseminations and, for DeLaval, two milk sums. The
// answer is not read at all; this is what the records themselves cost.
void recordsAlone(benchmark::State &state, bool milk)
{
    const int cows = int(state.range(0));
    std::vector<qint64> lives;
    for (int i = 0; i < cows; ++i)
        lives.push_back(276000000000LL + 7LL * i);
    const QDate milked = Today.addDays(-1);
    for (auto _ : state) {
        delaval::HerdReading r;
        for (int i = 0; i < cows; ++i) {
            const QString life = lifeNumberText(lives[size_t(i)]);
            auto a = r.records.animals.insert(r.records.animals.cend(), life, Animal());
            a->cislo = life;
            a->tech_cislo = QString::number(i % 9999);
            a->vyrazena = QStringLiteral("0");
            r.known.insert(lives[size_t(i)], Today.addDays(-(i % 300)));
            for (int k = 0; milk && k < 2; ++k)
                r.milk[k].push_back({lives[size_t(i)], 12.5, milked, 5 * 3600000});
        }
        benchmark::DoNotOptimize(r.known.size());
    }
    state.counters["cows"] = cows;
}

void registerAll()
{
    for (const bool milk : {true, false}) {
        benchmark::RegisterBenchmark(milk ? "alone/delaval" : "alone/taurus", recordsAlone, milk)
            ->Arg(1000)
            ->Arg(10000)
            ->Arg(100000)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    }
    for (const Kind &k : Kinds) {
        if (QLatin1String(k.name) == QLatin1String("dif_reader"))
            continue;
        for (const int pass : {0, 1, 2}) {
            static const char *const names[] = {"read/", "lines/", "records/"};
            const std::string name = std::string(names[pass]) + k.name;
            const QString answer = k.answer;
            // For the report, "lines" is the DIF reader alone: its cells without the records.
            const Reader textFloor = answer == QLatin1String("dif") ? Reader(difCells) : Reader(lines);
            const Reader reader = pass == 0 ? Reader(readBytes) : pass == 1 ? textFloor : k.reader;
            benchmark::RegisterBenchmark(
                name.c_str(), [answer, reader](benchmark::State &s) { measure(s, answer, reader); })
                ->Arg(1000)
                ->Arg(10000)
                ->Arg(100000)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    platform::prepareProcess(); // as the program does
    QCoreApplication app(argc, argv);
    if (argc == 4 && QLatin1String(argv[1]) == QLatin1String("peak"))
        return peak(QString::fromLatin1(argv[2]), QString::fromLatin1(argv[3]).toInt());
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
