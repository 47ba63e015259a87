// The AfiFarm report: the DIF reader on any file, then the report's columns and rows into records
// and the import file for downloaded inseminations.
#include "adapters/afikim/afikimreport.h"
#include "answerinput.h"
#include "ziviviver/ziviviver.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The reader takes a file name: one file per process, rewritten for each input.
    static const QString path =
        (QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/")
                                                   : QDir::tempPath() + QLatin1Char('/')) +
        QStringLiteral("fuzz_dif_report-%1.dif").arg(getpid());
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    EDifReader reader(path);
    reader.init();
    if (!reader.isValid)
        return 0;
    if (reader.rowCount < 0 || reader.colCount < 0)
        __builtin_trap();
    // Cells out of range answer empty.
    (void)reader.getData(reader.rowCount, 0);
    (void)reader.getData(0, reader.colCount);
    (void)reader.getData(-1, -1);

    const afikim::ReportTable table = afikim::readTable(reader);
    if (table.isEmpty())
        return 0;
    const afikim::ColumnMap columns = afikim::matchColumns(table.first());
    if (!afikim::missingColumnText(columns).isEmpty())
        return 0;
    const afikim::ReportData report =
        afikim::readReport(table, columns, 30, 60, QDateTime(fuzzToday(), QTime(13, 0)));
    QList<DownloadedInsemination> downloaded;
    for (auto it = report.cowNumberByLife.cbegin();
         it != report.cowNumberByLife.cend() && downloaded.size() < 50; ++it) {
        DownloadedInsemination row;
        row.cislo = it.key();
        row.datum = fuzzToday().addDays(-2);
        row.byk = QStringLiteral("HO 4711");
        row.byk_jmeno = QStringLiteral("Ferda");
        downloaded << row;
    }
    if (afikim::importFile(downloaded, report.knownInseminations, report.cowNumberByLife).written >
        downloaded.size())
        __builtin_trap();
    return 0;
}
