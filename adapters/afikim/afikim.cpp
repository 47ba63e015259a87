#include "adapters/afikim/afikimreport.h"
#include "app/mainwindow.h"
#include "app/platform.h"
#include "app/settingskeys.h"
#include "sync/exchangeframe.h"
#include "ui_mainwindow.h"

#include <QFile>
#include <QThread>

// Started by the watcher of AfiFarm's savefile directory; the path it reports is not used.
void MainWindow::exchangeAfifarm(const QString &)
{
    // The cloud calls let events run, and with them the watcher's later notifications.
    ExchangeGuard guard(this);
    if (!guard.acquiredRun())
        return;

    const QString root = platform::localPath(programPath);
    const QStringList reports =
        afikim::reportFiles(root + QStringLiteral("/savefile"), QString::fromLatin1(afikim::ReportPrefix));
    // Deleting the reports notifies the watcher again: without a report the last run's text stays.
    if (reports.isEmpty())
        return;
    ui->textEdit->setPlainText(QString());

    QThread::msleep(static_cast<unsigned long>(afikim::reportWaitMs()));
    EDifReader reader(reports.first());
    reader.init();
    // Row 0 holds the captions: a report of a herd without animals still has them.
    if (!reader.isValid || reader.rowCount < 1) {
        ui->textEdit->setPlainText(tr("Nepodporovaný formát dat."));
        QFile::remove(reports.first());
        return;
    }
    for (const QString &report : reports)
        QFile::remove(report);

    const bool ShowMessages = !readBool(settings, keys::TrayIcon);
    ExchangeFrame frame(this, ShowMessages, FrameOptions{false, false});

    const afikim::ReportTable table = afikim::readTable(reader);
    const afikim::ColumnMap columns = afikim::matchColumns(table.first());
    const QString missing = afikim::missingColumnText(columns);
    if (!missing.isEmpty()) {
        ui->textEdit->setPlainText(missing);
        return;
    }

    const afikim::ReportData report =
        afikim::readReport(table, columns, frame.insDays(), frame.sendDays(), QDateTime::currentDateTime());
    const QString milkText = milkYieldCsv(report.yield1, report.yield2);

    SyncOptions sync;
    sync.shortNumbers = report.shortNumbers;
    sync.sendInseminations = false;
    sync.resultForm = ResultForm::Short;
    const QString importPath = root + QStringLiteral("/DATA/MS/afi_ms.dat");
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
