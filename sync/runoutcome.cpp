#include "sync/runoutcome.h"

#include "ziviviver/ziviviver.h"

#include <QCoreApplication>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("RunOutcome", text);
}

struct ErrorWords
{
    int code;
    const char *words;
    const char *advice;
};

// The codes of docs/cloud-api.md.
const ErrorWords CodeWords[] = {
    {zavra::Unreachable, QT_TRANSLATE_NOOP("RunOutcome", "registr nedostupný"),
     QT_TRANSLATE_NOOP("RunOutcome", "Registr není dostupný – zkontrolujte připojení k internetu.")},
    {zavra::Timeout, QT_TRANSLATE_NOOP("RunOutcome", "registr neodpověděl včas"),
     QT_TRANSLATE_NOOP("RunOutcome", "Registr neodpověděl včas – zkontrolujte připojení k internetu "
                                     "nebo to zkuste později.")},
    {zavra::HttpStatus, QT_TRANSLATE_NOOP("RunOutcome", "registr hlásí chybu"),
     QT_TRANSLATE_NOOP("RunOutcome", "Registr odpověděl chybou – zkuste to později; opakuje-li se to, "
                                     "obraťte se na podporu.")},
    {zavra::MalformedAnswer, QT_TRANSLATE_NOOP("RunOutcome", "nečitelná odpověď registru"),
     QT_TRANSLATE_NOOP("RunOutcome", "Odpovědi registru nelze rozumět – zkuste to později; opakuje-li se "
                                     "to, obraťte se na podporu.")},
    {zavra::NotAttached, QT_TRANSLATE_NOOP("RunOutcome", "nepřihlášeno k registru"),
     QT_TRANSLATE_NOOP("RunOutcome", "Program nebyl k registru přihlášen – spusťte výměnu znovu.")},
    {zavra::InsecureUrl, QT_TRANSLATE_NOOP("RunOutcome", "nezabezpečená adresa registru"),
     QT_TRANSLATE_NOOP("RunOutcome", "Adresa registru není zabezpečená – obraťte se na podporu.")},
    {zavra::TlsFailure, QT_TRANSLATE_NOOP("RunOutcome", "chyba certifikátu registru"),
     QT_TRANSLATE_NOOP("RunOutcome", "Certifikát registru nelze ověřit – zkontrolujte datum a čas "
                                     "počítače; opakuje-li se to, obraťte se na podporu.")},
    {zavra::UnknownFarm, QT_TRANSLATE_NOOP("RunOutcome", "neznámá farma"),
     QT_TRANSLATE_NOOP("RunOutcome", "Registr tuto farmu nezná – zkontrolujte číslo cloudu v nastavení.")},
    {zavra::Rejected, QT_TRANSLATE_NOOP("RunOutcome", "registr údaje odmítl"),
     QT_TRANSLATE_NOOP("RunOutcome", "Registr odeslané údaje odmítl – obraťte se na podporu.")},
    {zavra::SessionExpired, QT_TRANSLATE_NOOP("RunOutcome", "přihlášení vypršelo"),
     QT_TRANSLATE_NOOP("RunOutcome", "Přihlášení k registru vypršelo – spusťte výměnu znovu.")},
};

const ErrorWords UnknownCode = {0, QT_TRANSLATE_NOOP("RunOutcome", "neznámá chyba"),
                                QT_TRANSLATE_NOOP("RunOutcome", "Neznámá chyba – obraťte se na podporu.")};

const ErrorWords &wordsFor(int code)
{
    for (const ErrorWords &w : CodeWords)
        if (w.code == code)
            return w;
    return UnknownCode;
}

struct NamedResult
{
    RunResult result;
    const char *name;
    const char *words;
};

const NamedResult Results[] = {
    {RunResult::Success, "0", QT_TRANSLATE_NOOP("RunOutcome", "v pořádku")},
    {RunResult::LibraryError, "", ""},
    {RunResult::CredentialsRefused, "refused",
     QT_TRANSLATE_NOOP("RunOutcome", "neplatné přihlašovací údaje")},
    {RunResult::NoSystem, "no_system", QT_TRANSLATE_NOOP("RunOutcome", "nerozpoznán dojírenský systém")},
    {RunResult::NoAnswer, "no_answer", QT_TRANSLATE_NOOP("RunOutcome", "dojírenský systém neodpověděl")},
    {RunResult::NothingToSend, "nothing_to_send",
     QT_TRANSLATE_NOOP("RunOutcome", "sestava bez zvířat, nic neodesláno")},
    {RunResult::WriteBackFailed, "write_back_failed",
     QT_TRANSLATE_NOOP("RunOutcome", "inseminace nezapsány")},
    {RunResult::DatabaseFailed, "database_failed",
     QT_TRANSLATE_NOOP("RunOutcome", "chyba připojení k databázi")},
    {RunResult::ReportUnusable, "report_unusable", QT_TRANSLATE_NOOP("RunOutcome", "nepoužitelná sestava")},
    {RunResult::Cancelled, "cancelled", QT_TRANSLATE_NOOP("RunOutcome", "přerušena ukončením programu")},
};

const NamedResult &named(RunResult result)
{
    for (const NamedResult &n : Results)
        if (n.result == result)
            return n;
    return Results[0];
}

} // namespace

QString errorAdvice(int code)
{
    return tr(wordsFor(code).advice);
}

QString outcomeWords(const RunOutcome &outcome)
{
    if (outcome.result == RunResult::LibraryError)
        return tr("chyba") + QLatin1Char(' ') + QString::number(outcome.code) + QStringLiteral(": ") +
               tr(wordsFor(outcome.code).words);
    return tr(named(outcome.result).words);
}

QString outcomeSentence(const RunOutcome &outcome)
{
    if (outcome.result == RunResult::LibraryError)
        return errorAdvice(outcome.code);
    return outcomeWords(outcome);
}

QString outcomeName(RunResult result)
{
    return QLatin1String(named(result).name);
}

RunResult outcomeFromName(const QString &name, bool *known)
{
    for (const NamedResult &n : Results) {
        if (n.result != RunResult::LibraryError && name == QLatin1String(n.name)) {
            *known = true;
            return n.result;
        }
    }
    *known = false;
    return RunResult::Success;
}
