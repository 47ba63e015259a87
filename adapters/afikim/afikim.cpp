#include "adapters/afikim/afikimreport.h"
#include "app/mainwindow.h"
#include "exchange/runaway.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

// Started by the watcher of AfiFarm's savefile directory; the path it reports is not used.
void MainWindow::exchangeAfifarm(const QString &)
{
    // The cloud calls and the wait for AfiFarm let events run, and with them the watcher's later
    // notices (our own removals among them): one more run looks at the directory once this ends.
    if (exchangeInProgress) {
        afifarmRunWanted = true;
        return;
    }
    {
        ExchangeGuard guard(this);
        beginRun(RunTrigger::Report);
        exchangeAfifarmReport();
    }
    endRun();
    exchangeEnded();
}

void MainWindow::exchangeAfifarmReport()
{
    // Each component is found whatever its case, as on Windows.
    const QString savefile = platform::localPath(programPath + QStringLiteral("/savefile"));
    QStringList reports = afikim::reportFiles(savefile, QString::fromLatin1(afikim::ReportPrefix));
    // Deleting the reports notifies the watcher again: without a report the last run's text stays.
    if (reports.isEmpty())
        return;
    const bool ShowMessages = !readBool(settings, keys::TrayIcon);
    ExchangeFrame frame(this, ShowMessages, FrameOptions{true, false, false});

    // AfiFarm may still be writing; the window goes on painting meanwhile.
    QEventLoop settle;
    QTimer::singleShot(afikim::reportWaitMs(), &settle, &QEventLoop::quit);
    settle.exec();

    // The newest readable report is used; unreadable ones are removed on the way, all in this run.
    reports = afikim::reportFiles(savefile, QString::fromLatin1(afikim::ReportPrefix));
    EDifReader reader(QString{});
    bool found = false;
    for (const QString &path : qAsConst(reports)) {
        // Read away from the window's thread: the reader is this run's own.
        EDifReader candidate(path);
        if (!exchange::runAwayFromEvents([&] { candidate.init(); }))
            return;
        // Row 0 holds the captions: a report of a herd without animals still has them.
        if (candidate.isValid && candidate.rowCount >= 1) {
            reader = candidate;
            found = true;
            break;
        }
        frame.setText(tr("Nepodporovaný formát dat."));
        QFile::remove(path);
    }
    if (!found) {
        frame.fail(RunResult::ReportUnusable);
        return;
    }
    frame.setText(QString());
    for (const QString &report : qAsConst(reports))
        QFile::remove(report);

    const std::optional<afikim::ReportTable> read =
        exchange::runAway([&] { return afikim::readTable(reader); });
    if (!read)
        return;
    const afikim::ReportTable &table = *read;
    const afikim::ColumnMap columns = afikim::matchColumns(table.first());
    const QString missing = afikim::missingColumnText(columns);
    if (!missing.isEmpty()) {
        frame.fail(RunResult::ReportUnusable);
        frame.finish(missing);
        return;
    }

    const int insDays = frame.insDays(), sendDays = frame.sendDays();
    const QDateTime now = QDateTime::currentDateTime();
    const std::optional<afikim::ReportData> herd =
        exchange::runAway([&] { return afikim::readReport(table, columns, insDays, sendDays, now); });
    if (!herd)
        return;
    const afikim::ReportData &report = *herd;
    if (!frame.hasAnimals(report.records))
        return;
    const QString milkText = milkYieldCsv(report.yield1, report.yield2);

    SyncOptions sync;
    sync.shortNumbers = report.shortNumbers;
    sync.sendInseminations = false;
    sync.resultForm = ResultForm::Short;
    const QString importPath = platform::localPath(programPath + QStringLiteral("/DATA/MS/afi_ms.dat"));
    const SyncResult result =
        frame.synchronise(report.records, sync, [&](const QList<DownloadedInsemination> &downloaded) {
            const afikim::ImportFile file =
                afikim::importFile(downloaded, report.knownInseminations, report.cowNumberByLife);
            if (!afikim::writeImportFile(importPath, file.text)) {
                // Shown in tray mode too: the inseminations did not reach AfiFarm.
                frame.inform(tr("Chyba vytváření souboru") + QStringLiteral("\n") + importPath);
                return std::optional<int>();
            }
            return std::optional<int>(file.written);
        });
    if (result.status == SyncStatus::WriteBackFailed)
        return;
    frame.finish(milkText);
}
