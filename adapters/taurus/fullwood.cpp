#include "adapters/taurus/taurusexchange.h"
#include "app/mainwindow.h"
#include "exchange/converter.h"
#include "exchange/runaway.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QDateTime>
#include <QFile>

void MainWindow::exchangeFullwood(const bool &, const bool &ShowMessages)
{
    FrameOptions options;
    options.clearText = true;
    options.progressDialog = true;
    ExchangeFrame frame(this, ShowMessages, options);

    const QString program = platform::localPath(programPath);
    const taurus::Files files = taurus::files(program);
    std::optional<exchange::AnswerLines> answer;
    if (!taurus::requestGeneralCows(program, taurus::System::Fullwood, &answer))
        return;
    // Read away from the window's thread: the lines and the windows are this run's own.
    const int insDays = frame.insDays(), sendDays = frame.sendDays();
    const QDate today = frame.today();
    const std::optional<taurus::FullwoodHerd> read =
        exchange::runAway([&] { return taurus::fullwoodHerd(*answer, insDays, sendDays, today); });
    if (!read)
        return;
    const taurus::FullwoodHerd &herd = *read;
    frame.countSkippedLines(answer->skipped());
    if (!frame.hasAnimals(herd.records))
        return;

    SyncOptions sync;
    sync.shortNumbers = true;
    sync.sendInseminations = false;
    sync.resultForm = ResultForm::Short;
    const SyncResult result = frame.synchronise(
        herd.records, sync, [&](const QList<DownloadedInsemination> &downloaded) -> std::optional<int> {
            const QStringList lines =
                taurus::fullwoodWriteBackLines(downloaded, herd.known, herd.records.animals);
            if (!taurus::writeInsCopy(files.insCopy, lines)) {
                frame.inform(tr("Chyba vytváření souboru") + QLatin1Char('\n') + files.insCopy);
                return std::nullopt;
            }
            if (readBool(settings, keys::ImportInseminations) && !lines.isEmpty()) {
                QFile::remove(files.answer);
                // Rows of a converter that failed are not written.
                if (runTauConverter(program, files.request,
                                    taurus::writeBackRequestText(QDateTime::currentDateTime(), lines)) != 0)
                    return 0;
            }
            return lines.size();
        });
    if (result.status == SyncStatus::WriteBackFailed)
        return;
    frame.finish(QString());
}
