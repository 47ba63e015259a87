#include "adapters/taurus/taurusexchange.h"
#include "platform/wholefile.h"

#include "exchange/answerfields.h"
#include "exchange/answerfile.h"
#include "exchange/converter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

#include <algorithm>

namespace taurus {

namespace {

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A date earlier than the one it is compared with becomes invalid; an invalid bound checks nothing.
QDate notBefore(const QDate &date, const QDate &bound)
{
    if (date.isValid() && bound.isValid() && date < bound)
        return QDate();
    return date;
}

} // namespace

Files files(const QString &localProgramPath)
{
    Files f;
    f.dir = QDir::cleanPath(QFileInfo(localProgramPath).absolutePath() + QLatin1Char('/'));
    f.request = f.dir + QLatin1Char('/') + requestFileName();
    f.answer = f.dir + QLatin1Char('/') + answerFileName();
    f.insCopy = f.dir + QLatin1Char('/') + insCopyFileName();
    return f;
}

void removeConverterFiles(const QString &dir)
{
    const QDir d(dir);
    const QStringList names =
        d.entryList({fileNamePattern()}, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        QFile::remove(d.filePath(name));
}

bool requestGeneralCows(const QString &localProgramPath, System system,
                        std::optional<exchange::AnswerLines> *answerLines)
{
    const Files f = files(localProgramPath);
    QFile::remove(f.answer);
    if (system == System::Fullwood)
        removeConverterFiles(f.dir);
    // An answer that cannot be removed is an earlier run's: it must not be taken for this one's.
    if (present(f.answer))
        return false;

    runTauConverter(localProgramPath, f.request, reproductionRequestText(system));

    QFile answer;
    if (!exchange::openAnswer(answer, f.answer))
        return false;
    exchange::AnswerLines lines(answer);
    if (answerLines)
        answerLines->emplace(std::move(lines));
    return true;
}

namespace {

// The herd number's text, a null view when unknown.
QStringView herdNumberView(const adis::Values &v)
{
    return v.isUnknown(item::HerdNumber) ? QStringView() : v.view(item::HerdNumber);
}

// The dates and the pregnancy result of a line, checked.
void readDates(const adis::Values &v, FullwoodRow &row)
{
    row.referenceDate = parseDate(v.view(item::ReferenceDate));
    row.inseminationDate = notBefore(parseDate(v.view(item::InseminationDate)), row.referenceDate);
    row.dryOffDate = notBefore(parseDate(v.view(item::DryOffDate)), row.referenceDate);

    const QStringView result = v.view(item::PregnancyResult);
    if (result == QLatin1String("1"))
        row.pregnancyResult = 1;
    else if (result == QLatin1String("2"))
        row.pregnancyResult = 2;

    row.pregnancyCheckDate = notBefore(parseDate(v.view(item::PregnancyCheckDate)), row.referenceDate);
    // A check before the last insemination belongs to an earlier service.
    if (row.pregnancyCheckDate.isValid() && row.inseminationDate.isValid() &&
        row.pregnancyCheckDate < row.inseminationDate) {
        row.pregnancyCheckDate = QDate();
        row.pregnancyResult = QVariant();
    }
}

} // namespace

FullwoodRow fullwoodRow(const adis::Values &v)
{
    FullwoodRow row;
    row.cowId = v.at(item::CowId);
    row.herdNumber = herdNumberView(v).toString();
    if (row.herdNumber.isNull())
        row.herdNumber = QStringLiteral("");
    readDates(v, row);
    return row;
}

QVariant techNumber(const QString &herdNumber)
{
    // Not a number: 0, so it is sent.
    const qlonglong value = herdNumber.toLongLong();
    if (value < 9999)
        return QVariant(herdNumber.isNull() ? QStringLiteral("") : herdNumber);
    return QVariant();
}

namespace {

void addFullwoodRowEvents(FullwoodHerd *herd, const FullwoodRow &row, int insDays, int sendDays,
                          const QDate &today)
{
    if (insDays != 0 && row.inseminationDate.isValid())
        herd->known.insert(row.cowId, row.inseminationDate);

    if (sendDays > 0) {
        const int result = row.pregnancyResult.isNull() ? 0 : row.pregnancyResult.toInt();
        if (inSendWindow(row.pregnancyCheckDate, sendDays, today) && (result == 1 || result == 2)) {
            PregnancyEvent p;
            p.cislo = row.cowId;
            p.datum = row.pregnancyCheckDate;
            p.druh = result;
            herd->records.pregnancies.append(p);
        }
        if (inSendWindow(row.dryOffDate, sendDays, today)) {
            DryOff z;
            z.cislo = row.cowId;
            z.datum = row.dryOffDate;
            herd->records.dryOffs.append(z);
        }
    }
}

// What the reading keeps of a line until the animals are made.
struct Row
{
    QString cowId;
    exchange::AnswerText herdNumber; // null when unknown
};

} // namespace

FullwoodHerd fullwoodHerd(exchange::AnswerLines &answerLines, int insDays, int sendDays, const QDate &today)
{
    FullwoodHerd herd;
    const adis::Entity &table = generalCowRequest(System::Fullwood);
    std::vector<Row> rows;
    QStringView line;
    adis::Values v;
    while (answerLines.next(&line)) {
        if (!table.cutView(line, &v))
            continue;
        const QStringView id = v.view(item::CowId);
        // A blank id or an unknown one ("??????") names no animal; any other is used as written.
        if (std::all_of(id.cbegin(), id.cend(), [](QChar c) { return c == QLatin1Char('?'); }))
            continue;
        FullwoodRow row;
        row.cowId = id.toString();
        readDates(v, row);
        addFullwoodRowEvents(&herd, row, insDays, sendDays, today);
        rows.push_back({row.cowId, answerLines.keep(herdNumberView(v))});
    }
    // The animals in cow-id order (appended, no search); the last row of an id wins.
    QMap<QString, Animal> &animals = herd.records.animals;
    QMap<QString, Animal>::iterator animal;
    const auto id = [&](int k) -> const QString & { return rows[size_t(k)].cowId; };
    for (const int k : orderByKey(int(rows.size()), id)) {
        const Row &r = rows[size_t(k)];
        if (animals.isEmpty() || animal.key() != r.cowId) {
            animal = animals.insert(animals.cend(), r.cowId, Animal());
            animal->cislo = r.cowId;
            animal->vyrazena = QStringLiteral("0");
        }
        const QString herdNumber = answerLines.text(r.herdNumber);
        animal->tech_cislo = techNumber(herdNumber.isNull() ? QStringLiteral("") : herdNumber);
    }
    return herd;
}

FullwoodHerd fullwoodHerd(const QStringList &answerLines, int insDays, int sendDays, const QDate &today)
{
    exchange::AnswerLines lines(answerLines);
    return fullwoodHerd(lines, insDays, sendDays, today);
}

QStringList fullwoodWriteBackLines(const QList<DownloadedInsemination> &downloaded,
                                   const KnownInseminations &known, const QMap<QString, Animal> &animals)
{
    QStringList lines;
    for (const DownloadedInsemination &row : downloaded) {
        // Without a date there is no insemination to record.
        if (!row.datum.isValid() || known.contains(row.cislo, row.datum))
            continue;
        if (row.cislo.isEmpty() || !animals.contains(row.cislo))
            continue;
        lines << writeBackLine(row.cislo, row.datum);
    }
    return lines;
}

bool writeInsCopy(const QString &path, const QStringList &lines)
{
    QTextCodec *codec = QTextCodec::codecForName("Windows-1250");
    if (!codec)
        return false;
    QByteArray bytes;
    for (const QString &line : lines)
        bytes += codec->fromUnicode(line) + "\r\n";
    return platform::writeWholeFile(path, bytes);
}

} // namespace taurus
