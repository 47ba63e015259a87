// The DeLaval converter's cow answer: lines into records and milk maps, and the write-back of
// downloaded inseminations against what the answer said.
#include "adapters/delaval/delavalexchange.h"
#include "answerinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = answerLines(data, size);
    delaval::ReadingRules rules;
    rules.insDays = 30;
    rules.sendDays = 60;
    rules.today = fuzzToday();
    rules.fetchYields = true;
    const QDateTime day(fuzzToday().addDays(-1), QTime(0, 0));
    rules.periods[0] = {day, day.addSecs(12 * 3600 - 1)};
    rules.periods[1] = {day.addSecs(12 * 3600), day.addSecs(24 * 3600 - 1)};
    const delaval::HerdReading reading = delaval::readAnswer(lines, rules);
    if (reading.cows + reading.skipped > lines.size())
        __builtin_trap();

    QList<DownloadedInsemination> downloaded;
    for (auto it = reading.records.animals.cbegin(); it != reading.records.animals.cend(); ++it) {
        DownloadedInsemination row;
        row.cislo = it.key();
        row.datum = fuzzToday().addDays(-int(downloaded.size() % 40));
        row.poradi = 1;
        row.byk = QStringLiteral("HO 4711");
        downloaded << row;
        if (downloaded.size() > 50)
            break;
    }
    const delaval::WriteBackRecords records =
        delaval::writeBackRecords(downloaded, reading.known, reading.records.animals);
    if (records.Written != records.lines.size() || records.Written > downloaded.size())
        __builtin_trap();
    return 0;
}
