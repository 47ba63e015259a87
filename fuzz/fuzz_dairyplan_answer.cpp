// DairyPlan's answers: the reproduction answer into records, the milk answer into the yield CSV,
// and the modify request's records for downloaded inseminations.
#include "adapters/westfalia/westfaliaanswers.h"
#include "answerinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = answerLines(data, size);
    const westfalia::ReproductionData r = westfalia::readReproductionAnswer(lines, 30, 60, fuzzToday());
    westfalia::MilkingPeriods periods;
    const QDateTime day(fuzzToday().addDays(-1), QTime(0, 0));
    periods[0] = {day, day.addSecs(12 * 3600 - 1)};
    periods[2] = {day.addSecs(12 * 3600), day.addSecs(36 * 3600 - 1)};
    (void)westfalia::milkYieldText(lines, periods);

    QList<DownloadedInsemination> downloaded;
    for (auto it = r.records.animals.cbegin(); it != r.records.animals.cend() && downloaded.size() < 50;
         ++it) {
        DownloadedInsemination row;
        row.cislo = it.key();
        row.datum = fuzzToday();
        row.byk = QStringLiteral("HO 4711");
        downloaded << row;
    }
    if (westfalia::eventLines(downloaded, r.knownInseminations, r.records.animals).size() > downloaded.size())
        __builtin_trap();
    return 0;
}
