#include "registryclient_p.h"
#include "ziviviver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QThread>

#include <functional>
#include <memory>

namespace {

// A thread that runs one piece of work (QThread::create needs std::async, which MinGW's win32
// threads lack).
class WorkThread : public QThread
{
public:
    explicit WorkThread(const std::function<void()> &piece) : work(piece) {}

protected:
    void run() override { work(); }

private:
    const std::function<void()> &work;
};

// Written on a thread of its own while this thread's events run, user input left out as while the
// request is posted: the caller's window paints meanwhile. The work reads only the records handed
// in, which the caller cannot touch until the call returns.
QByteArray writtenAway(const std::function<QByteArray()> &write)
{
    if (!QCoreApplication::instance())
        return write();
    QByteArray text;
    QEventLoop loop;
    const std::function<void()> work = [&] { text = write(); };
    const auto thread = std::make_unique<WorkThread>(work);
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // The loop is left early when the program quits; the text is still needed.
    thread->wait();
    return text;
}

} // namespace

class ZARiruvOzav::Private
{
public:
    explicit Private(QObject *owner) : network(owner) {}
    QNetworkAccessManager network;
    QUrl base;       // the registry of the current attach
    QString session; // empty: not attached
};

ZARiruvOzav::ZARiruvOzav(QObject *parent) : QObject(parent), d(new Private(this)) {}

ZARiruvOzav::~ZARiruvOzav()
{
    delete d;
}

int ZARiruvOzav::attach(void *dataContext, const QVariant &cloudNumber, const int &mode,
                        const QString &service, const QString &user, const QString &password,
                        QObject *reserved1, QObject *reserved2, QObject *reserved3)
{
    Q_UNUSED(dataContext)
    Q_UNUSED(reserved1)
    Q_UNUSED(reserved2)
    Q_UNUSED(reserved3)
    loggedIn = false;
    d->session.clear();
    d->base = zavra::registryUrl();
    if (zavra::checkRegistryUrl(d->base) != 0)
        return zavra::InsecureUrl;

    QJsonObject answer;
    const int rc =
        zavra::postJson(d->network, zavra::endpoint(d->base, "attach"),
                        zavra::attachRequest(cloudNumber.toString().trimmed(), mode, service, user, password),
                        QString(), answer);
    if (rc < 0)
        return rc;
    bool accepted = false;
    QString session;
    const int parsed = zavra::parseAttachAnswer(answer, accepted, session);
    if (parsed < 0)
        return parsed;
    loggedIn = accepted;
    d->session = accepted ? session : QString();
    return 0;
}

int ZARiruvOzav::syncZavra(bool shortNumbers, int download, int insDays, int send, int sendDays,
                           bool sendInseminations, const bool &complete,
                           const QMap<QString, ddata_zv_t> &animals, const QList<ddata_ins_t> &inseminations,
                           const QList<ddata_br_t> &pregnancies, const QList<ddata_za_t> &dryOffs,
                           const QList<ddata_plany_t> &plans, QList<zavra_ins_row_t> &downloaded,
                           int &sentAnimals, int &sentInseminations, int &sentPregnancies, int &sentDryOffs,
                           int &sentPlans)
{
    sentAnimals = sentInseminations = sentPregnancies = sentDryOffs = sentPlans = 0;
    if (d->session.isEmpty())
        return zavra::NotAttached;

    zavra::SyncArguments args;
    args.shortNumbers = shortNumbers;
    args.download = download;
    args.insDays = insDays;
    args.send = send;
    args.sendDays = sendDays;
    args.sendInseminations = sendInseminations;
    args.complete = complete;
    const QByteArray body = writtenAway(
        [&] { return zavra::syncRequestBody(args, animals, inseminations, pregnancies, dryOffs, plans); });
    QJsonObject answer;
    const int rc = zavra::postJson(d->network, zavra::endpoint(d->base, "sync"), body, d->session, answer, 0,
                                   zavra::maxSyncAnswerBytes(animals.size()));
    if (rc == zavra::SessionExpired)
        d->session.clear();
    if (rc < 0)
        return rc;

    zavra::SyncCounters counters;
    const int parsed = zavra::parseSyncAnswer(answer, downloaded, counters);
    if (parsed < 0)
        return parsed;
    sentAnimals = counters.animals;
    sentInseminations = counters.inseminations;
    sentPregnancies = counters.pregnancies;
    sentDryOffs = counters.dryOffs;
    sentPlans = counters.plans;
    return 0;
}

void ZARiruvOzav::detach()
{
    if (!d->session.isEmpty()) {
        QJsonObject answer;
        zavra::postJson(d->network, zavra::endpoint(d->base, "detach"), QJsonObject(), d->session, answer,
                        zavra::DetachTimeoutMs);
    }
    d->session.clear();
    loggedIn = false;
}

void ZARiruvOzav::removeNonNumericChars(QString &text)
{
    VIRiza::removeNonNumericChars(text);
}
