#include "adapters/westfalia/westfaliaanswers.h"
#include "adapters/westfalia/westfaliaformat.h"
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

#include <optional>

namespace {

struct DairyPlanFiles
{
    explicit DairyPlanFiles(const QString &programPath)
        : dir(QFileInfo(platform::localPath(programPath)).absolutePath() + QLatin1Char('/'))
    {}

    QString path(const QString &name) const { return QDir::cleanPath(dir) + QLatin1Char('/') + name; }

    QString dir; // with its trailing "/"
};

// Deletes the old answer, has the converter answer the request and reads the answer lines;
// nothing when no answer came.
std::optional<exchange::AnswerLines> ask(const DairyPlanFiles &files, const QString &requestName,
                                         const QString &text, const QString &answerName)
{
    const QString answerPath = files.path(answerName);
    QFile::remove(answerPath);
    runDairyPlanConverter(files.dir, files.path(requestName), text);
    return exchange::answerLinesAway(answerPath);
}

} // namespace

void MainWindow::exchangeWestfalia(const bool &FetchYields, const bool &ShowMessages)
{
    FrameOptions options;
    options.clearText = true;
    options.progressDialog = true;
    ExchangeFrame frame(this, ShowMessages, options);

    const DairyPlanFiles files(programPath);
    std::optional<exchange::AnswerLines> cows =
        ask(files, westfalia::reproductionRequestFileName(), westfalia::reproductionRequestText(),
            westfalia::reproductionAnswerFileName());
    if (!cows)
        return;
    // Read away from the window's thread: the lines and the windows are this run's own.
    const int insDays = frame.insDays(), sendDays = frame.sendDays();
    const QDate today = frame.today();
    const std::optional<westfalia::ReproductionData> read =
        exchange::runAway([&] { return westfalia::readReproductionAnswer(*cows, insDays, sendDays, today); });
    if (!read)
        return;
    const westfalia::ReproductionData &reproduction = *read;
    frame.countSkippedLines(cows->skipped());
    if (!frame.hasAnimals(reproduction.records))
        return;

    QString milkText;
    if (FetchYields) {
        std::optional<exchange::AnswerLines> milk =
            ask(files, westfalia::milkRequestFileName(), westfalia::milkRequestText(),
                westfalia::milkAnswerFileName());
        if (!milk)
            return;
        const westfalia::MilkingPeriods periods{{{od_cas1, do_cas1}, {od_cas2, do_cas2}, {od_cas3, do_cas3}}};
        std::optional<QString> yields =
            exchange::runAway([&] { return westfalia::milkYieldText(*milk, periods); });
        if (!yields)
            return;
        milkText = *yields;
        frame.countSkippedLines(milk->skipped());
    }

    SyncOptions sync;
    sync.shortNumbers = reproduction.shortNumbers;
    sync.sendInseminations = false;
    sync.resultForm = ResultForm::Short;
    frame.synchronise(reproduction.records, sync,
                      [&](const QList<DownloadedInsemination> &downloaded) -> std::optional<int> {
                          const QStringList lines = westfalia::eventLines(
                              downloaded, reproduction.knownInseminations, reproduction.records.animals);
                          // Rows of a converter that failed are not written.
                          if (readBool(settings, keys::ImportInseminations) &&
                              runDairyPlanConverter(files.dir, files.path(westfalia::modifyRequestFileName()),
                                                    westfalia::modifyRequestText(lines)) != 0)
                              return 0;
                          return lines.size();
                      });

    frame.finish(milkText);
}
