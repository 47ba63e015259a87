#include "sync/runhistory.h"

#include "platform/wholefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("RunHistory", text);
}

// A file that grew past this (not by our hand) is read from its end only.
constexpr qint64 MaxReadBytes = 4 * 1024 * 1024;

const char *const TriggerNames[] = {"button", "timer", "report", "start"};
const char *const CountNames[] = {"animals", "inseminations", "pregnancies", "dryOffs", "plans"};

int *countField(SentCounts &sent, int i)
{
    int *fields[] = {&sent.animals, &sent.inseminations, &sent.pregnancies, &sent.dryOffs, &sent.plans};
    return fields[i];
}

} // namespace

QByteArray historyLine(const RunRecord &run)
{
    QJsonObject o;
    o.insert(QStringLiteral("started"), run.started.toUTC().toString(Qt::ISODate));
    o.insert(QStringLiteral("trigger"), QLatin1String(TriggerNames[int(run.trigger)]));
    o.insert(QStringLiteral("system"), run.system);
    switch (run.outcome.result) {
    case RunResult::Success:
        o.insert(QStringLiteral("result"), 0);
        break;
    case RunResult::LibraryError:
        o.insert(QStringLiteral("result"), run.outcome.code);
        break;
    default:
        o.insert(QStringLiteral("result"), outcomeName(run.outcome.result));
        break;
    }
    o.insert(QStringLiteral("text"), outcomeSentence(run.outcome));
    QJsonObject sent;
    SentCounts counts = run.sent;
    for (int i = 0; i < 5; ++i)
        sent.insert(QLatin1String(CountNames[i]), *countField(counts, i));
    o.insert(QStringLiteral("sent"), sent);
    o.insert(QStringLiteral("received"), QJsonObject{{QStringLiteral("inseminations"), run.downloaded},
                                                     {QStringLiteral("written"), run.written}});
    o.insert(QStringLiteral("durationMs"), run.durationMs);
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<RunRecord> parseHistoryLine(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    RunRecord run;
    run.started = QDateTime::fromString(o.value(QStringLiteral("started")).toString(), Qt::ISODate);
    if (!run.started.isValid())
        return std::nullopt;
    run.started = run.started.toUTC();
    const QString trigger = o.value(QStringLiteral("trigger")).toString();
    int t = 0;
    while (t < 4 && trigger != QLatin1String(TriggerNames[t]))
        ++t;
    if (t == 4)
        return std::nullopt;
    run.trigger = RunTrigger(t);
    run.system = o.value(QStringLiteral("system")).toInt();
    const QJsonValue result = o.value(QStringLiteral("result"));
    if (result.isDouble()) {
        run.outcome.code = result.toInt();
        run.outcome.result = run.outcome.code < 0 ? RunResult::LibraryError : RunResult::Success;
    } else {
        bool known = false;
        run.outcome.result = outcomeFromName(result.toString(), &known);
        if (!known)
            return std::nullopt;
    }
    const QJsonObject sent = o.value(QStringLiteral("sent")).toObject();
    for (int i = 0; i < 5; ++i)
        *countField(run.sent, i) = sent.value(QLatin1String(CountNames[i])).toInt();
    const QJsonObject received = o.value(QStringLiteral("received")).toObject();
    run.downloaded = received.value(QStringLiteral("inseminations")).toInt();
    run.written = received.value(QStringLiteral("written")).toInt();
    run.durationMs = qint64(o.value(QStringLiteral("durationMs")).toDouble());
    return run;
}

RunHistory::RunHistory(const QString &path, int bound) : path_(path), bound_(bound) {}

QString RunHistory::defaultPath()
{
    // On every platform AppLocalDataLocation is the generic location followed by the
    // organisation and the application.
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Brantol/stablomat/history.jsonl");
}

void RunHistory::load()
{
    runs_.clear();
    fileLines_ = 0;
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const qint64 size = file.size();
    const bool cut = size > MaxReadBytes;
    if (cut)
        file.seek(size - MaxReadBytes);
    const QByteArray bytes = file.read(MaxReadBytes);
    const QList<QByteArray> lines = bytes.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const bool last = i == lines.size() - 1;
        if (last) {
            // A line without its "\n" was being written when the process ended.
            fileLines_ += line.isEmpty() ? 0 : 1;
            break;
        }
        ++fileLines_;
        if (cut && i == 0)
            continue; // begins in the middle of a line
        if (std::optional<RunRecord> run = parseHistoryLine(line))
            runs_.append(*run);
    }
    if (runs_.size() > bound_)
        runs_.erase(runs_.begin(), runs_.end() - bound_);
    if (cut)
        fileLines_ = bound_ + 1; // rewritten at the next run
}

const RunRecord *RunHistory::lastSuccess() const
{
    for (auto it = runs_.crbegin(); it != runs_.crend(); ++it)
        if (!it->outcome.failed())
            return &*it;
    return nullptr;
}

int RunHistory::automaticFailuresInRow() const
{
    int n = 0;
    for (auto it = runs_.crbegin(); it != runs_.crend() && it->outcome.failed(); ++it)
        n += it->automatic() ? 1 : 0;
    return n;
}

bool RunHistory::append(const RunRecord &run)
{
    runs_.append(run);
    if (runs_.size() > bound_)
        runs_.removeFirst();
    if (fileLines_ >= bound_)
        return rewrite();

    QDir().mkpath(QFileInfo(path_).absolutePath());
    QFile file(path_);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // After a torn line (a process killed while writing) the new one starts on a line of its own.
    const qint64 size = file.size();
    const bool tornEnd = size > 0 && file.seek(size - 1) && file.read(1) != "\n";
    const QByteArray bytes = (tornEnd ? QByteArray("\n") : QByteArray()) + historyLine(run);
    // One write of the whole line.
    const bool written = file.write(bytes) == bytes.size();
    fileLines_ += tornEnd ? 2 : 1;
    return written;
}

bool RunHistory::rewrite()
{
    QByteArray bytes;
    for (const RunRecord &run : qAsConst(runs_))
        bytes += historyLine(run);
    QDir().mkpath(QFileInfo(path_).absolutePath());
    if (!platform::writeWholeFile(path_, bytes))
        return false;
    fileLines_ = runs_.size();
    return true;
}

QString runTime(const QDateTime &started)
{
    return started.toLocalTime().toString(QStringLiteral("d. M. HH:mm"));
}

QString statusLine(const RunRecord *last, const RunRecord *lastSuccess)
{
    if (!last)
        return tr("Zatím neproběhla žádná výměna.");
    QString text = tr("Poslední výměna: ") + runTime(last->started) + QStringLiteral(" – ") +
                   outcomeWords(last->outcome);
    if (last->outcome.failed())
        text += QLatin1Char('\n') + tr("Poslední úspěšná: ") +
                (lastSuccess ? runTime(lastSuccess->started) : tr("žádná"));
    return text;
}

QString trayToolTip(const RunRecord *last, const RunRecord *lastSuccess)
{
    const QString name = QStringLiteral("stablomat");
    return last ? name + QLatin1Char('\n') + statusLine(last, lastSuccess) : name;
}

QString FailureNotice::after(const RunRecord &run, const RunRecord *lastSuccess)
{
    if (!run.outcome.failed()) {
        reset(0);
        return QString();
    }
    if (!run.automatic())
        return QString();
    ++failures_;
    if (shown_)
        return QString();
    QString text;
    if (run.outcome.result == RunResult::CredentialsRefused)
        text = tr("Registr odmítl přihlašovací údaje, automatická výměna údajů neproběhla. "
                  "Zkontrolujte jméno a heslo v nastavení.");
    else if (failures_ >= 3)
        text = tr("Automatická výměna údajů se %1krát po sobě nezdařila (%2).")
                   .arg(failures_)
                   .arg(outcomeWords(run.outcome));
    else
        return QString();
    shown_ = true;
    return text + QLatin1Char('\n') + tr("Poslední úspěšná: ") +
           (lastSuccess ? runTime(lastSuccess->started) : tr("žádná"));
}

QString triggerWords(RunTrigger trigger)
{
    switch (trigger) {
    case RunTrigger::Timer:
        return tr("automaticky");
    case RunTrigger::Report:
        return tr("sestava AfiFarm");
    case RunTrigger::Start:
        return tr("po spuštění");
    case RunTrigger::Button:
        break;
    }
    return tr("ručně");
}

QString countsText(const RunRecord &run)
{
    const SentCounts &s = run.sent;
    if (run.outcome.failed() &&
        s.animals + s.inseminations + s.pregnancies + s.dryOffs + s.plans + run.downloaded + run.written == 0)
        return QString();
    return tr("zvířata %1, inseminace %2, březost %3, zasušení %4, plány %5 / přijato %6, zapsáno %7")
        .arg(s.animals)
        .arg(s.inseminations)
        .arg(s.pregnancies)
        .arg(s.dryOffs)
        .arg(s.plans)
        .arg(run.downloaded)
        .arg(run.written);
}

QString historyText(const QList<RunRecord> &runs)
{
    QString text = tr("Čas") + QLatin1Char('\t') + tr("Spuštění") + QLatin1Char('\t') + tr("Výsledek") +
                   QLatin1Char('\t') + tr("Odesláno / přijato") + QLatin1Char('\n');
    for (auto it = runs.crbegin(); it != runs.crend(); ++it)
        text += it->started.toLocalTime().toString(QStringLiteral("d. M. yyyy HH:mm:ss")) +
                QLatin1Char('\t') + triggerWords(it->trigger) + QLatin1Char('\t') +
                outcomeWords(it->outcome) + QLatin1Char('\t') + countsText(*it) + QLatin1Char('\n');
    return text;
}
