// The AfiFarm report: the DIF reader on any file, then the report's columns and rows into records
// and the import file for downloaded inseminations.
#include "adapters/afikim/afikimreport.h"
#include "answerinput.h"
#include "ziviviver/ziviviver.h"

#include <QDir>
#include <QFile>

#include <cmath>

#include <unistd.h>

namespace {

// Report dates and yields as Qt's own parsers read them; the quick paths must agree on every cell.
QDate referenceDate(const QString &text)
{
    const QString t = text.trimmed();
    QDate date = QDate::fromString(t, QStringLiteral("dd/MM/yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("d/M/yyyy"));
    return date;
}

double referenceYield(const QString &text)
{
    if (text.contains(QLatin1Char('?')))
        return 0.0;
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double yield = t.toDouble(&ok);
    return ok && std::isfinite(yield) ? yield : 0.0;
}

void compareCell(const QString &cell)
{
    if (afikim::reportDate(cell) != referenceDate(cell))
        __builtin_trap();
    const double a = afikim::reportYield(cell), b = referenceYield(cell);
    if (a != b && !(std::isnan(a) && std::isnan(b)))
        __builtin_trap();
}

} // namespace

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
    for (const QStringList &row : table) {
        for (const QString &cell : row)
            compareCell(cell);
    }
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
