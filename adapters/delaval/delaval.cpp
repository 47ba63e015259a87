// The DeLaval exchange (Alpro and DelPro): a cow request through iso32.exe, the records sent to
// the registry, the downloaded inseminations handed back to the converter, the milk-yield text.
#include "adapters/delaval/delavalexchange.h"
#include "adapters/delaval/delavalformat.h"
#include "app/mainwindow.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"
#include "exchange/runaway.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

void MainWindow::exchangeDelaval(const bool &FetchYields, const bool &ShowMessages)
{
    FrameOptions options;
    options.progressDialog = true;
    ExchangeFrame frame(this, ShowMessages, options);
    const bool sendInseminations = readBool(settings, keys::SendInseminations);

    const QString dir = delaval::workingDirectory(platform::localPath(programPath));
    const QString requestPath = dir + delaval::requestFileName();
    const QString answerPath = dir + delaval::answerFileName();
    QFile::remove(requestPath);
    QFile::remove(answerPath);
    // An answer of an earlier run that cannot be removed would be read as this run's.
    if (QFileInfo::exists(answerPath))
        return;

    const QString request = delaval::requestText();
    frame.setProgress(ProgressStep::Waiting);
    runIsoConverter(dir, requestPath, request, answerPath, QStringLiteral(" -x"));

    std::optional<exchange::AnswerLines> lines = exchange::answerLinesAway(answerPath);
    if (!lines)
        return;
    frame.setProgress(ProgressStep::Processing);

    delaval::ReadingRules rules;
    rules.insDays = frame.insDays();
    rules.sendDays = frame.sendDays();
    rules.today = frame.today();
    rules.fetchYields = FetchYields;
    rules.periods[0] = {od_cas1, do_cas1};
    rules.periods[1] = {od_cas2, do_cas2};
    rules.periods[2] = {od_cas3, do_cas3};
    // The lines and the rules are this run's own; the window's thread turns its events meanwhile.
    const std::optional<delaval::HerdReading> herd =
        exchange::runAway([&] { return delaval::readAnswer(*lines, rules); });
    if (!herd)
        return;
    const delaval::HerdReading &reading = *herd;
    frame.countSkippedLines(lines->skipped());
    if (!frame.hasAnimals(reading.records))
        return;

    const QString milkText =
        FetchYields ? milkYieldCsv(reading.milk[0], reading.milk[1], reading.milk[2]) : QString();

    SyncOptions sync;
    sync.shortNumbers = reading.shortNumbers;
    sync.sendInseminations = sendInseminations;
    sync.resultForm = ResultForm::WithHeadings;
    frame.synchronise(reading.records, sync, [&](const QList<DownloadedInsemination> &downloaded) {
        const delaval::WriteBackRecords records =
            delaval::writeBackRecords(downloaded, reading.known, reading.records.animals);
        const QString recordText = delaval::recordFileText(records.lines);
        if (readBool(settings, keys::ImportInseminations)) {
            const QString base = QDir::cleanPath(dir);
            const QString recordPath = base + QLatin1Char('/') + delaval::recordFileName();
            // A record file that could not be written (full disk), or a converter that failed,
            // crashed or ran out of time, handed nothing over.
            if (runIsoConverter(dir, recordPath, recordText,
                                base + QLatin1Char('/') + delaval::recordAnswerFileName(), QString()) != 0 ||
                !QFileInfo::exists(recordPath))
                return std::optional<int>(0);
        }
        return std::optional<int>(records.Written);
    });

    frame.finish(milkText);
}
