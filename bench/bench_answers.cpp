// Answer into records, for each system at 1,000, 10,000 and 100,000 cows, next to two floors: reading
// the same bytes and nothing else ("read"), and reading them as the answer's text lines ("lines").
// Bytes per second are the file's; scripts/bench.sh turns the times into ms per 10,000 cows.
#include "adapters/afikim/afikimreport.h"
#include "adapters/delaval/delavalexchange.h"
#include "adapters/taurus/taurusexchange.h"
#include "adapters/westfalia/westfaliaanswers.h"
#include "benchdata.h"
#include "exchange/answerfile.h"
#include "ziviviver/ziviviver.h"

#include "app/platform.h"

#include <QCoreApplication>
#include <QFile>

#include <benchmark/benchmark.h>

#include <functional>

namespace {

const QDate Today = QDate::fromString(benchdata::referenceDay(), Qt::ISODate);

using Reader = std::function<int(QFile &)>; // returns something that depends on the whole reading

int readBytes(QFile &f)
{
    return f.readAll().size();
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
    const delaval::HerdReading r = delaval::readAnswer(exchange::readAnswerLines(f), rules);
    return r.cows + r.milk[0].size();
}

int dairyPlanRecords(QFile &f)
{
    return westfalia::readReproductionAnswer(exchange::readAnswerLines(f), 30, 60, Today)
        .records.animals.size();
}

int dairyPlanMilk(QFile &f)
{
    westfalia::MilkingPeriods periods;
    const QDateTime day(Today.addDays(-1), QTime(0, 0));
    periods[0] = {day, day.addSecs(12 * 3600 - 1)};
    periods[1] = {day.addSecs(12 * 3600), day.addSecs(24 * 3600 - 1)};
    return westfalia::milkYieldText(exchange::readAnswerLines(f), periods).size();
}

int taurusRecords(QFile &f)
{
    return taurus::fullwoodHerd(exchange::readAnswerLines(f), 30, 60, Today).records.animals.size();
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

void registerAll()
{
    struct Kind
    {
        const char *name;
        QString answer;
        Reader reader;
    };
    const Kind kinds[] = {
        {"delaval", QStringLiteral("delaval"), delavalRecords},
        {"dairyplan_reproduction", QStringLiteral("dairyplan-reproduction"), dairyPlanRecords},
        {"dairyplan_milk", QStringLiteral("dairyplan-milk"), dairyPlanMilk},
        {"taurus", QStringLiteral("taurus"), taurusRecords},
        {"afifarm_dif", QStringLiteral("dif"), difRecords},
    };
    for (const Kind &k : kinds) {
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
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
