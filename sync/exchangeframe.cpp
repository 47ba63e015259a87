#include "sync/exchangeframe.h"

#include "platform/settingskeys.h"

ExchangeFrame::ExchangeFrame(RunView *v, const bool &ShowMessages, const FrameOptions &options)
    : view(v), showMessages_(ShowMessages), waitForClick_(ShowMessages && options.startedByUser), insDays_(0),
      sendDays_(0), today_(QDate::currentDate())
{
    if (options.clearText)
        view->setRunText(QString());
    const QSettings *settings = view->runSettings();
    insDays_ = readInt(settings, keys::InsDays);
    sendDays_ = readInt(settings, keys::SendDays);
    if (options.progressDialog) {
        view->showRunProgress(progressText(ProgressStep::Creating));
        progressShown = true;
    }
}

ExchangeFrame::~ExchangeFrame()
{
    if (progressShown)
        view->closeRunProgress();
    if (!finished_ && !report_.outcome.failed())
        report_.outcome.result = RunResult::NoAnswer;
    view->runEnded(report_);
}

void ExchangeFrame::fail(RunResult result)
{
    report_.outcome = RunOutcome{result, 0};
}

QDate ExchangeFrame::sendWindowStart() const
{
    return ::sendWindowStart(sendDays_, today_);
}

bool ExchangeFrame::inSendWindow(const QDate &date) const
{
    return ::inSendWindow(date, sendDays_, today_);
}

QString ExchangeFrame::progressText(ProgressStep step)
{
    switch (step) {
    case ProgressStep::Waiting:
        return tr("Čekám na sestavu...");
    case ProgressStep::Processing:
        return tr("Zpracovávám sestavu...");
    case ProgressStep::Creating:
        break;
    }
    return tr("Vytvářím sestavu...");
}

void ExchangeFrame::setProgress(ProgressStep step)
{
    if (progressShown)
        view->showRunProgress(progressText(step));
}

void ExchangeFrame::inform(const QString &text) const
{
    view->showRunMessage(text, waitForClick_);
}

bool ExchangeFrame::hasAnimals(const HerdRecords &records)
{
    // Without cloud contact nothing is sent anyway: the run goes on (the milk-yield text).
    if (!records.animals.isEmpty() || !synchronisationWanted())
        return true;
    fail(RunResult::NothingToSend);
    if (skippedLines_ > 0)
        view->setRunText(withSkippedLines(QString()));
    if (showMessages_)
        inform(tr("Sestava neobsahuje žádná zvířata, nic nebylo odesláno."));
    return false;
}

SyncResult ExchangeFrame::synchronise(const HerdRecords &records, const SyncOptions &options,
                                      const WriteBack &writeBack)
{
    SyncResult result;
    if (!synchronisationWanted())
        return result;

    const QSettings *settings = view->runSettings();
    const QString password = readString(settings, keys::CloudPassword);
    const QString user = readString(settings, keys::CloudUser);
    const QString cloudNumber = readString(settings, keys::CloudNumber);

    ZARiruvOzav zavra(nullptr);
    const int mode = 0;
    result.code = zavra.attach(nullptr, QVariant(cloudNumber), mode, QStringLiteral("ZAVRA"), user, password,
                               nullptr, nullptr, nullptr);
    if (result.code < 0) {
        result.status = SyncStatus::AttachFailed;
        if (showMessages_)
            inform(errorMessage(result.code));
    } else if (!zavra.loggedIn) {
        result.status = SyncStatus::CredentialsRefused;
        if (showMessages_)
            inform(tr("Neplatné přihlašovací údaje."));
    } else {
        const bool complete = true;
        QList<DownloadedInsemination> downloaded;
        SentCounts sent;
        result.code = zavra.syncZavra(options.shortNumbers, insDays_ > 0 ? 1 : 0, insDays_,
                                      sendDays_ > 0 ? 1 : 0, sendDays_, options.sendInseminations, complete,
                                      records.animals, records.inseminations, records.pregnancies,
                                      records.dryOffs, records.plans, downloaded, sent.animals,
                                      sent.inseminations, sent.pregnancies, sent.dryOffs, sent.plans);
        if (result.code < 0) {
            // Reported in timer runs too: the data did not reach the cloud.
            result.status = SyncStatus::SyncFailed;
            inform(errorMessage(result.code));
        } else {
            result.downloaded = downloaded;
            result.sent = sent;
            std::optional<int> written = 0;
            if (!downloaded.isEmpty() && writeBack)
                written = writeBack(result.downloaded);
            if (!written) {
                result.status = SyncStatus::WriteBackFailed;
            } else {
                result.status = SyncStatus::Done;
                result.written = *written;
                result.resultText =
                    resultText(options.resultForm, result.downloaded.size(), result.written, result.sent);
                if (showMessages_)
                    inform(successMessage(result.resultText));
            }
        }
    }
    zavra.detach();
    noteSyncResult(result);
    return result;
}

void ExchangeFrame::noteSyncResult(const SyncResult &result)
{
    switch (result.status) {
    case SyncStatus::AttachFailed:
    case SyncStatus::SyncFailed:
        report_.outcome = RunOutcome{RunResult::LibraryError, result.code};
        break;
    case SyncStatus::CredentialsRefused:
        fail(RunResult::CredentialsRefused);
        break;
    case SyncStatus::WriteBackFailed:
        fail(RunResult::WriteBackFailed);
        break;
    case SyncStatus::Done:
        report_.sent = result.sent;
        report_.downloaded = result.downloaded.size();
        report_.written = result.written;
        break;
    case SyncStatus::NotRun:
        break;
    }
}

void ExchangeFrame::setText(const QString &text)
{
    view->setRunText(text);
}

QString ExchangeFrame::withSkippedLines(const QString &text) const
{
    if (skippedLines_ == 0)
        return text;
    const QString separator =
        text.isEmpty() || text.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n");
    return text + separator + tr("Přeskočeno nečitelných řádků: %1").arg(skippedLines_);
}

void ExchangeFrame::finish(const QString &text)
{
    finished_ = true;
    view->setRunText(withSkippedLines(text));
    if (progressShown) {
        view->closeRunProgress();
        progressShown = false;
    }
}
