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
template <class View> QStringView herdNumberView(View view)
{
    const QStringView v = view(item::HerdNumber);
    return v.contains(QLatin1Char('?')) ? QStringView() : v;
}

// The dates and the pregnancy result (1, 2, or 0: none) of a line, checked.
struct Dates
{
    QDate reference; // last calving
    QDate insemination;
    QDate dryOff;
    QDate pregnancyCheck;
    int result = 0;
};

template <class View> Dates readDates(View view)
{
    Dates d;
    d.reference = parseDate(view(item::ReferenceDate));
    d.insemination = notBefore(parseDate(view(item::InseminationDate)), d.reference);
    d.dryOff = notBefore(parseDate(view(item::DryOffDate)), d.reference);

    const QStringView result = view(item::PregnancyResult);
    if (result == QLatin1String("1"))
        d.result = 1;
    else if (result == QLatin1String("2"))
        d.result = 2;

    d.pregnancyCheck = notBefore(parseDate(view(item::PregnancyCheckDate)), d.reference);
    // A check before the last insemination belongs to an earlier service.
    if (d.pregnancyCheck.isValid() && d.insemination.isValid() && d.pregnancyCheck < d.insemination) {
        d.pregnancyCheck = QDate();
        d.result = 0;
    }
    return d;
}

// Herd numbers from 9999 up are no tech_cislo; a text that is no number counts as 0.
bool isTechNumber(QStringView herdNumber)
{
    return herdNumber.toLongLong() < 9999;
}

} // namespace

FullwoodRow fullwoodRow(const adis::Values &v)
{
    const auto view = [&](int k) { return v.view(k); };
    FullwoodRow row;
    row.cowId = v.at(item::CowId);
    row.herdNumber = herdNumberView(view).toString();
    if (row.herdNumber.isNull())
        row.herdNumber = QStringLiteral("");
    const Dates d = readDates(view);
    row.referenceDate = d.reference;
    row.inseminationDate = d.insemination;
    row.dryOffDate = d.dryOff;
    row.pregnancyCheckDate = d.pregnancyCheck;
    if (d.result != 0)
        row.pregnancyResult = d.result;
    return row;
}

QVariant techNumber(const QString &herdNumber)
{
    if (isTechNumber(herdNumber))
        return QVariant(herdNumber.isNull() ? QStringLiteral("") : herdNumber);
    return QVariant();
}

namespace {

// What the reading keeps of a line until the animals are made.
struct Row
{
    qint64 life = -1; // the cow id's value when it is written as a life number, else -1
    exchange::AnswerText id;
    exchange::AnswerText herdNumber; // null when unknown
    bool tech = true;                // the herd number is the tech_cislo
    bool hasEvents = false;
};

} // namespace

FullwoodHerd fullwoodHerd(exchange::AnswerLines &answerLines, int insDays, int sendDays, const QDate &today)
{
    FullwoodHerd herd;
    const adis::Entity &table = generalCowRequest(System::Fullwood);
    std::vector<Row> rows;
    std::vector<RowEvent> events;
    bool allNumbers = true;
    QStringView line;
    while (answerLines.next(&line)) {
        if (!table.isValueLine(line))
            continue;
        const auto view = [&](int k) { return table.view(line, k); };
        const QStringView id = view(item::CowId);
        // A blank id or an unknown one ("??????") names no animal; any other is used as written.
        if (std::all_of(id.cbegin(), id.cend(), [](QChar c) { return c == QLatin1Char('?'); }))
            continue;
        Row row;
        row.life = lifeNumberOfText(id);
        row.id = answerLines.keep(id);
        allNumbers = allNumbers && row.life >= 0;
        const Dates d = readDates(view);
        if (insDays != 0 && d.insemination.isValid()) {
            if (row.life >= 0)
                herd.known.insert(row.life, d.insemination);
            else
                herd.known.insert(id.toString(), d.insemination);
        }
        const size_t kept = events.size();
        const int at = int(rows.size());
        if (sendDays > 0) {
            if (inSendWindow(d.pregnancyCheck, sendDays, today) && d.result != 0)
                events.push_back({at, d.result, d.pregnancyCheck});
            if (inSendWindow(d.dryOff, sendDays, today))
                events.push_back({at, 0, d.dryOff});
        }
        row.hasEvents = events.size() > kept;
        const QStringView herdNumber = herdNumberView(view);
        row.tech = isTechNumber(herdNumber);
        if (row.tech)
            row.herdNumber = answerLines.keep(herdNumber);
        rows.push_back(row);
    }
    // The animals in cow-id order (appended, no search); the last row of an id wins. Ids written as
    // life numbers are ordered by their values, as their texts order.
    const int count = int(rows.size());
    std::vector<QString> ids(allNumbers ? 0 : rows.size());
    for (size_t k = 0; k < ids.size(); ++k)
        ids[k] = answerLines.text(rows[k].id);
    const std::vector<int> order =
        allNumbers ? orderByLifeNumber(count, [&](int k) { return rows[size_t(k)].life; })
                   : orderByKey(count, [&](int k) -> const QString & { return ids[size_t(k)]; });
    std::vector<QString> idOfRow(events.empty() ? 0 : rows.size());
    QMap<QString, Animal> &animals = herd.records.animals;
    QMap<QString, Animal>::iterator animal;
    const Row *last = nullptr;
    const auto visit = [&](int k) {
        const Row &r = rows[size_t(k)];
        if (!last || (allNumbers ? last->life != r.life : animal.key() != ids[size_t(k)])) {
            const QString id = allNumbers ? lifeNumberText(r.life) : ids[size_t(k)];
            animal = animals.insert(animals.cend(), id, Animal());
            animal->cislo = id;
            animal->vyrazena = QStringLiteral("0");
        }
        last = &r;
        if (r.tech) {
            const QString herdNumber = answerLines.text(r.herdNumber);
            animal->tech_cislo = herdNumber.isNull() ? QStringLiteral("") : herdNumber;
        } else {
            animal->tech_cislo = QVariant();
        }
        if (r.hasEvents)
            idOfRow[size_t(k)] = animal.key();
    };
    visitInOrder(
        order, [&](int k) { return std::array<const void *, 1>{&rows[size_t(k)]}; },
        [&](int k) { return std::array<const void *, 1>{answerLines.where(rows[size_t(k)].herdNumber)}; },
        visit);
    appendRowEvents(herd.records, events, idOfRow);
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
