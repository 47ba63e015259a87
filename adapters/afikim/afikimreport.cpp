#include "adapters/afikim/afikimreport.h"
#include "platform/wholefile.h"

#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "ziviviver/ziviviver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <cmath>

namespace afikim {

const char *const ReportPrefix = "StablomatAnimals";

namespace {

#ifdef STABLOMAT_TEST_HOOKS
int waitMs = 5000;
#else
const int waitMs = 5000;
#endif

QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

const char *const Captions[ColumnCount] = {
    "Krava",       "Reg.c.",  "CvPK",          "Znamka",     "Pohlavi",
    "Narozeni",    "Matka",   "Otec",          "Skupina",    "Stav",
    "Oteleni",     "Odny",    "Laktace",       "Inseminace", "Pin",
    "Inseminator", "Byk",     "Neinseminovat", "Veterinar",  "VeterinarDiagnoza",
    "Zasuseni",    "Zmetani", "Vyrazeni",      "N1",         "N2",
    "N3",          "N4",      "Rije"};

// The required captions in the order they are checked; "Krava" comes first.
const Column Required[] = {
    Krava, RegC,          Znamka,   Stav,      Oteleni,           Laktace, Inseminace, Pin, Inseminator,
    Byk,   Neinseminovat, Zasuseni, Veterinar, VeterinarDiagnoza, Zmetani, Vyrazeni,   N1,  N2};

// The import file's entities: item number, width, decimals.
const adis::Entity Bull(QStringLiteral("031895"),
                        {{QStringLiteral("00030587"), 15, 0}, {QStringLiteral("00032297"), 20, 0}});
const adis::Entity InseminationLine(QStringLiteral("030579"), {{QStringLiteral("00030259"), 6, 0},
                                                               {QStringLiteral("00030409"), 8, 0},
                                                               {QStringLiteral("00030587"), 15, 0}});

QString cell(const ReportTable &table, int row, int column)
{
    if (column < 0)
        return QString();
    return table.at(row).value(column).trimmed();
}

} // namespace

QStringList reportFiles(const QString &dir, const QString &prefix)
{
    QFileInfoList found;
    const QFileInfoList entries = QDir(dir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : entries) {
        if (info.fileName().startsWith(prefix, Qt::CaseSensitive))
            found << info;
    }
    std::stable_sort(found.begin(), found.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.lastModified() > b.lastModified();
    });
    QStringList paths;
    for (const QFileInfo &info : qAsConst(found))
        paths << info.absoluteFilePath();
    return paths;
}

int reportWaitMs()
{
    return waitMs;
}

#ifdef STABLOMAT_TEST_HOOKS
void setReportWaitMs(int ms)
{
    waitMs = qMax(0, ms);
}
#endif

ReportTable readTable(const EDifReader &reader)
{
    ReportTable table;
    if (reader.rowCount < 1)
        return table;
    QStringList captions;
    captions.reserve(reader.colCount);
    for (int col = 0; col < reader.colCount; ++col)
        captions << reader.getData(0, col);
    const ColumnMap columns = matchColumns(captions);
    table.reserve(reader.rowCount);
    table << captions;

    // Only the cells of known captions are read, and a row ends at its last such cell that holds
    // a value: the widest row of a report never sets the size of every other row.
    QVector<int> used;
    for (int c = 0; c < ColumnCount; ++c) {
        if (columns[Column(c)] >= 0)
            used << columns[Column(c)];
    }
    QVector<QString> values(used.size());
    for (int row = 1; row < reader.rowCount; ++row) {
        int width = 0;
        for (int i = 0; i < used.size(); ++i) {
            values[i] = reader.getData(row, used.at(i));
            if (!values.at(i).isEmpty())
                width = qMax(width, used.at(i) + 1);
        }
        QStringList cells;
        if (width > 0) {
            cells.reserve(width);
            for (int col = 0; col < width; ++col)
                cells << QString();
            for (int i = 0; i < used.size(); ++i) {
                if (used.at(i) < width)
                    cells[used.at(i)] = values.at(i);
            }
        }
        table << cells;
    }
    return table;
}

QString caption(Column column)
{
    return QString::fromLatin1(Captions[column]);
}

ColumnMap::ColumnMap()
{
    std::fill(std::begin(index), std::end(index), -1);
}

ColumnMap matchColumns(const QStringList &captions)
{
    ColumnMap map;
    for (int col = 0; col < captions.size(); ++col) {
        for (int c = 0; c < ColumnCount; ++c) {
            if (captions.at(col) == QLatin1String(Captions[c]))
                map.index[c] = col;
        }
    }
    return map;
}

QString missingColumnText(const ColumnMap &columns)
{
    for (const Column c : Required) {
        if (columns[c] < 0)
            return tr("Chybý sloupec v definici sestavy.") + QStringLiteral(" ") + caption(c);
    }
    return QString();
}

QDate reportDate(const QString &text)
{
    const QString t = text.trimmed();
    QDate date;
    if (t.isEmpty() || dayMonthYear(t, QLatin1Char('/'), &date))
        return date;
    date = QDate::fromString(t, QStringLiteral("dd/MM/yyyy"));
    if (!date.isValid()) // a spreadsheet program saving the report again may drop the leading zeros
        date = QDate::fromString(t, QStringLiteral("d/M/yyyy"));
    return date;
}

double reportYield(const QString &text)
{
    bool ok = false;
    const double yield = decimalValue(text, &ok);
    return ok && std::isfinite(yield) ? yield : 0.0;
}

ReportData readReport(const ReportTable &table, const ColumnMap &columns, int insDays, int sendDays,
                      const QDateTime &now)
{
    ReportData data;
    const QDate today = now.date();
    const QDateTime yield1Time(today, QTime(0, 0));
    const QDateTime yield2Time(now.time().hour() >= 12 ? today : today.addDays(-1), QTime(0, 0));

    // What each animal row adds to the maps keyed by life number.
    struct Keyed
    {
        QString life;
        Animal animal;
        QString cow;
        double first;
        double second;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<size_t>(qMax(0, table.size() - 1)));

    // Row 0 holds the captions: it is no animal.
    for (int row = 1; row < table.size(); ++row) {
        const QString cow = cell(table, row, columns[Krava]);
        const QString registration = cell(table, row, columns[RegC]);
        if (reportDate(cell(table, row, columns[Vyrazeni])).isValid())
            continue; // culled

        const QDate calving = reportDate(cell(table, row, columns[Oteleni]));
        const auto beforeCalving = [&calving](const QDate &d) { return calving.isValid() && d < calving; };
        QDate insemination = reportDate(cell(table, row, columns[Inseminace]));
        if (beforeCalving(insemination))
            insemination = QDate();
        const QString state = cell(table, row, columns[Stav]);
        QDate dryOff = reportDate(cell(table, row, columns[Zasuseni]));
        if (beforeCalving(dryOff))
            dryOff = QDate();
        QDate check = reportDate(cell(table, row, columns[Veterinar]));
        if (beforeCalving(check) || (insemination.isValid() && check < insemination))
            check = QDate();
        const QString diagnosis = cell(table, row, columns[VeterinarDiagnoza]);
        QDate abortion = reportDate(cell(table, row, columns[Zmetani]));
        if (beforeCalving(abortion))
            abortion = QDate();

        const QString life = normalisedLifeNumber(registration);
        if (!isAnimalLifeNumber(life))
            continue; // no registration number: a blank row, not an animal
        if (isLongLifeNumber(life))
            data.shortNumbers = false;

        Animal animal;
        animal.cislo = life;
        if (cow.toInt() < 9999)
            animal.tech_cislo = cow;
        animal.vyrazena =
            state.startsWith(QLatin1String("Ne pro in")) ? QStringLiteral("1") : QStringLiteral("0");
        keyed.push_back({life, animal, cow, reportYield(cell(table, row, columns[N1])),
                         reportYield(cell(table, row, columns[N2]))});

        if (insDays != 0 && insemination.isValid())
            data.knownInseminations.insert(life, insemination);

        if (inSendWindow(check, sendDays, today)) {
            int kind = 0;
            if (diagnosis.contains(QLatin1Char('-')))
                kind = 2;
            if (diagnosis.contains(QLatin1Char('+')))
                kind = 1;
            if (kind != 0) {
                PregnancyEvent event;
                event.cislo = life;
                event.datum = check;
                event.druh = kind;
                data.records.pregnancies << event;
            }
        }
        if (inSendWindow(abortion, sendDays, today)) {
            PregnancyEvent event;
            event.cislo = life;
            event.datum = abortion;
            event.druh = 4;
            data.records.pregnancies << event;
        }
        if (inSendWindow(dryOff, sendDays, today)) {
            DryOff event;
            event.cislo = life;
            event.datum = dryOff;
            data.records.dryOffs << event;
        }
    }

    // The maps are filled in life-number order (appended, no search); the last row of a number
    // wins, yields of a number's rows add up in row order.
    const auto life = [&](int k) -> const QString & { return keyed[size_t(k)].life; };
    for (const int k : orderByKey(int(keyed.size()), life)) {
        const Keyed &r = keyed[size_t(k)];
        mapEntry(data.records.animals, r.life) = r.animal;
        mapEntry(data.cowNumberByLife, r.life) = r.cow;
        if (r.first > 0)
            addMilk(data.yield1, r.life, r.first, yield1Time);
        if (r.second > 0)
            addMilk(data.yield2, r.life, r.second, yield2Time);
    }
    return data;
}

ImportFile importFile(const QList<DownloadedInsemination> &downloaded, const KnownInseminations &known,
                      const QMap<QString, QString> &cowNumberByLife)
{
    ImportFile file;
    QStringList bulls;
    QStringList inseminations;
    QSet<QString> BullsWritten;
    for (const DownloadedInsemination &row : downloaded) {
        if (known.contains(row.cislo, row.datum))
            continue;
        const QString cow = cowNumberByLife.value(row.cislo);
        if (cow.isEmpty())
            continue;
        const QString bull = row.byk.toString();
        // Without a date there is no insemination to record; longer values are written whole.
        if (!row.datum.isValid())
            continue;
        if (!BullsWritten.contains(bull)) {
            BullsWritten.insert(bull);
            const QString name = row.byk_jmeno.toString();
            bulls << adis::ValueLine(Bull)
                         .code(bull.isNull() ? QStringLiteral("") : bull)
                         .code(name.isNull() ? QStringLiteral("") : name)
                         .toString();
        }
        inseminations << adis::ValueLine(InseminationLine)
                             .code(cow)
                             .date(row.datum)
                             .code(bull.isNull() ? QStringLiteral("") : bull)
                             .toString();
        ++file.written;
    }

    QStringList lines{adis::comment(QStringLiteral(" ***** Byci *****")),
                      adis::comment(QStringLiteral("        |Byk||     |Jmeno||")), Bull.definition()};
    lines << bulls;
    lines << adis::comment(QStringLiteral(" ***** Inseminace *****"))
          << adis::comment(QString::fromUtf8("        |Kráva||   |Datum||   |Byk||"))
          << InseminationLine.definition();
    lines << inseminations;
    file.text = adis::fileText(lines);
    return file;
}

bool writeImportFile(const QString &path, const QString &text)
{
    return platform::writeWholeFile(path, QTextCodec::codecForName("Windows-1250")->fromUnicode(text));
}

} // namespace afikim
