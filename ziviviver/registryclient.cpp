#include "registryclient_p.h"

#include "jsontext.h"
#include "lowdelay.h"
#include "netrule.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include <cmath>
#include <memory>
#include <vector>

namespace zavra {

const char *const DefaultRegistryUrl = "https://cloud.zavra.cz";

QUrl registryUrl()
{
    const QString env = qEnvironmentVariable("ZAVRA_URL").trimmed();
    return QUrl(env.isEmpty() ? QString(DefaultRegistryUrl) : env, QUrl::StrictMode);
}

int checkRegistryUrl(const QUrl &url)
{
    return netrule::permittedUrl(url) ? 0 : InsecureUrl;
}

QUrl endpoint(const QUrl &base, const QString &name)
{
    QUrl url = base;
    QString path = url.path();
    while (path.endsWith('/'))
        path.chop(1);
    url.setPath(path + "/api/v1/" + name);
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

int timeoutMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariable("ZAVRA_TIMEOUT_MS").toInt(&ok);
    return ok && ms > 0 ? ms : DefaultTimeoutMs;
}

QJsonValue textValue(const QVariant &v)
{
    if (v.isNull())
        return QJsonValue(QJsonValue::Undefined);
    if (v.type() == QVariant::Date)
        return v.toDate().toString(Qt::ISODate);
    if (!v.canConvert<QString>())
        return QJsonValue(QJsonValue::Undefined);
    return v.toString();
}

QJsonValue intValue(const QVariant &v)
{
    bool ok = false;
    const int n = v.isNull() ? 0 : v.toInt(&ok);
    return ok ? QJsonValue(n) : QJsonValue(QJsonValue::Undefined);
}

QJsonValue anyValue(const QVariant &v)
{
    if (v.isNull())
        return QJsonValue(QJsonValue::Undefined);
    switch (v.type()) {
    case QVariant::Date:
        return v.toDate().toString(Qt::ISODate);
    case QVariant::DateTime:
        return v.toDateTime().toString(Qt::ISODate);
    case QVariant::Bool:
        return v.toBool();
    case QVariant::Int:
    case QVariant::UInt:
    case QVariant::LongLong:
    case QVariant::ULongLong:
    case QVariant::Double:
        return v.toDouble();
    default:
        return textValue(v);
    }
}

QVariant variantFrom(const QJsonValue &v)
{
    if (v.isUndefined() || v.isNull())
        return QVariant();
    if (v.isDouble()) {
        const double d = v.toDouble();
        if (std::floor(d) == d && std::fabs(d) <= 2147483647.0)
            return static_cast<int>(d);
    }
    return v.toVariant();
}

namespace {

// Inserts only defined values, so that null fields travel as absent ones.
void put(QJsonObject &o, const char *key, const QJsonValue &v)
{
    if (!v.isUndefined())
        o.insert(key, v);
}

QJsonObject eventHead(const QString &cislo, const QDate &datum)
{
    return QJsonObject{{"cislo", cislo}, {"datum", datum.toString(Qt::ISODate)}};
}

// An event without a life number or a valid date cannot be stored by the registry.
bool sendable(const QString &cislo, const QDate &datum)
{
    return !cislo.isEmpty() && datum.isValid();
}

int counter(const QJsonObject &o, const char *key, int &value)
{
    const QJsonValue v = o.value(key);
    if (!v.isDouble() || v.toDouble() < 0 || std::floor(v.toDouble()) != v.toDouble())
        return MalformedAnswer;
    value = v.toInt();
    return 0;
}

} // namespace

QJsonObject attachRequest(const QString &cloud, int mode, const QString &service, const QString &user,
                          const QString &password)
{
    return QJsonObject{
        {"cloud", cloud}, {"mode", mode}, {"service", service}, {"user", user}, {"password", password}};
}

QJsonObject syncRequest(const SyncArguments &args, const QMap<QString, ZARiruvOzav::ddata_zv_t> &animals,
                        const QList<ZARiruvOzav::ddata_ins_t> &inseminations,
                        const QList<ZARiruvOzav::ddata_br_t> &pregnancies,
                        const QList<ZARiruvOzav::ddata_za_t> &dryOffs,
                        const QList<ZARiruvOzav::ddata_plany_t> &plans)
{
    QJsonObject body{{"shortNumbers", args.shortNumbers}, {"download", args.download},
                     {"insDays", args.insDays},           {"send", args.send},
                     {"sendDays", args.sendDays},         {"sendInseminations", args.sendInseminations},
                     {"complete", args.complete}};

    QJsonArray animalList;
    for (auto it = animals.constBegin(); it != animals.constEnd(); ++it) {
        const QString cislo = it->cislo.isEmpty() ? it.key() : it->cislo;
        if (cislo.isEmpty())
            continue;
        QJsonObject o{{"cislo", cislo}};
        put(o, "tech_cislo", textValue(it->tech_cislo));
        put(o, "transponder", textValue(it->transponder));
        put(o, "vyrazena", textValue(it->vyrazena));
        animalList.append(o);
    }
    body.insert("animals", animalList);

    // With the send flag off no event leaves the farm; inseminations only when allowed.
    if (args.send != 1)
        return body;
    if (args.sendInseminations) {
        QJsonArray list;
        for (const ZARiruvOzav::ddata_ins_t &r : inseminations) {
            if (!sendable(r.cislo, r.datum))
                continue;
            QJsonObject o = eventHead(r.cislo, r.datum);
            put(o, "druh", intValue(r.druh));
            put(o, "poradi", intValue(r.poradi));
            if (!r.byk.isNull())
                o.insert("byk", r.byk);
            list.append(o);
        }
        body.insert("inseminations", list);
    }
    QJsonArray pregnancyList;
    for (const ZARiruvOzav::ddata_br_t &r : pregnancies) {
        if (!sendable(r.cislo, r.datum))
            continue;
        QJsonObject o = eventHead(r.cislo, r.datum);
        put(o, "druh", intValue(r.druh));
        put(o, "udaj1", anyValue(r.udaj1));
        put(o, "udaj2", anyValue(r.udaj2));
        put(o, "udaj3", anyValue(r.udaj3));
        pregnancyList.append(o);
    }
    body.insert("pregnancies", pregnancyList);
    QJsonArray dryOffList;
    for (const ZARiruvOzav::ddata_za_t &r : dryOffs) {
        if (!sendable(r.cislo, r.datum))
            continue;
        QJsonObject o = eventHead(r.cislo, r.datum);
        put(o, "udaj", anyValue(r.udaj));
        dryOffList.append(o);
    }
    body.insert("dryOffs", dryOffList);
    QJsonArray planList;
    for (const ZARiruvOzav::ddata_plany_t &r : plans) {
        if (!sendable(r.cislo, r.datum))
            continue;
        QJsonObject o = eventHead(r.cislo, r.datum);
        put(o, "druh", intValue(r.druh));
        planList.append(o);
    }
    body.insert("plans", planList);
    return body;
}

namespace {

void field(JsonText &json, const char *key, const QJsonValue &v)
{
    if (v.isUndefined())
        return;
    json.key(key);
    json.value(v);
}

// The usual variants written at once; any other as textValue, intValue and anyValue give it.
void textField(JsonText &json, const char *key, const QVariant &v)
{
    if (v.userType() == QMetaType::QString) {
        const QString &text = *static_cast<const QString *>(v.constData());
        if (!text.isNull()) {
            json.key(key);
            json.string(text);
        }
        return;
    }
    field(json, key, textValue(v));
}

void intField(JsonText &json, const char *key, const QVariant &v)
{
    if (v.userType() == QMetaType::Int) {
        json.key(key);
        json.integer(*static_cast<const int *>(v.constData()));
        return;
    }
    field(json, key, intValue(v));
}

void anyField(JsonText &json, const char *key, const QVariant &v)
{
    if (!v.isNull())
        field(json, key, anyValue(v));
}

// An event's life number and date: the first two keys of an event, or the two after "byk".
void writeEventHead(JsonText &json, const QString &cislo, const QDate &datum)
{
    json.key("cislo");
    json.string(cislo);
    json.key("datum");
    int year = 0, month = 0, day = 0;
    datum.getDate(&year, &month, &day);
    if (year >= 1 && year <= 9999)
        json.isoDate(year, month, day);
    else
        json.string(datum.toString(Qt::ISODate));
}

// The records lie wherever the program allocated them, their texts elsewhere again: they are
// fetched a few records ahead, so that the processor does not wait for each one in turn.
constexpr int Ahead = 8;

void fetch(const void *p)
{
    __builtin_prefetch(p);
}

void fetchText(const QString &text)
{
    fetch(const_cast<QString &>(text).data_ptr());
}

void fetchText(const QVariant &v)
{
    if (v.userType() == QMetaType::QString)
        fetchText(*static_cast<const QString *>(v.constData()));
}

// Record i + 2 * Ahead is fetched, and the texts of record i + Ahead (fetched earlier).
template <class T, class Texts> void fetchAhead(const QList<T> &list, int i, Texts texts)
{
    if (i + 2 * Ahead < list.size())
        fetch(&list.at(i + 2 * Ahead));
    if (i + Ahead < list.size())
        texts(list.at(i + Ahead));
}

// The events of a list that the registry can store, each written by `fields` after its head.
template <class T, class Fields>
void writeEvents(JsonText &json, const char *key, const QList<T> &list, Fields fields)
{
    json.key(key);
    json.beginArray();
    for (int i = 0; i < list.size(); ++i) {
        fetchAhead(list, i, [](const T &r) { fetchText(r.cislo); });
        const T &r = list.at(i);
        if (!sendable(r.cislo, r.datum))
            continue;
        json.beginObject();
        writeEventHead(json, r.cislo, r.datum);
        fields(r);
        json.endObject();
    }
    json.endArray();
}

} // namespace

QByteArray syncRequestBody(const SyncArguments &args, const QMap<QString, ZARiruvOzav::ddata_zv_t> &animals,
                           const QList<ZARiruvOzav::ddata_ins_t> &inseminations,
                           const QList<ZARiruvOzav::ddata_br_t> &pregnancies,
                           const QList<ZARiruvOzav::ddata_za_t> &dryOffs,
                           const QList<ZARiruvOzav::ddata_plany_t> &plans)
{
    const bool events = args.send == 1;
    const int eventCount =
        events ? inseminations.size() + pregnancies.size() + dryOffs.size() + plans.size() : 0;
    JsonText json(256 + 80 * animals.size() + 64 * eventCount);
    // Keys in QJsonObject's order (sorted), so the text is the one toJson() writes for syncRequest().
    json.beginObject();
    json.key("animals");
    json.beginArray();
    auto ahead = animals.constBegin();
    for (int k = 0; k < Ahead && ahead != animals.constEnd(); ++k)
        ++ahead;
    for (auto it = animals.constBegin(); it != animals.constEnd(); ++it) {
        if (ahead != animals.constEnd()) {
            fetchText(ahead->cislo);
            fetchText(ahead->tech_cislo);
            fetchText(ahead->transponder);
            ++ahead;
        }
        const QString &cislo = it->cislo.isEmpty() ? it.key() : it->cislo;
        if (cislo.isEmpty())
            continue;
        json.beginObject();
        json.key("cislo");
        json.string(cislo);
        textField(json, "tech_cislo", it->tech_cislo);
        textField(json, "transponder", it->transponder);
        textField(json, "vyrazena", it->vyrazena);
        json.endObject();
    }
    json.endArray();
    json.key("complete");
    json.boolean(args.complete);
    json.key("download");
    json.integer(args.download);
    if (events) {
        writeEvents(json, "dryOffs", dryOffs,
                    [&](const ZARiruvOzav::ddata_za_t &r) { anyField(json, "udaj", r.udaj); });
    }
    json.key("insDays");
    json.integer(args.insDays);
    if (events && args.sendInseminations) {
        json.key("inseminations");
        json.beginArray();
        for (int i = 0; i < inseminations.size(); ++i) {
            fetchAhead(inseminations, i, [](const ZARiruvOzav::ddata_ins_t &r) {
                fetchText(r.cislo);
                fetchText(r.byk);
            });
            const ZARiruvOzav::ddata_ins_t &r = inseminations.at(i);
            if (!sendable(r.cislo, r.datum))
                continue;
            json.beginObject();
            // "byk" sorts before the head's keys.
            if (!r.byk.isNull()) {
                json.key("byk");
                json.string(r.byk);
            }
            writeEventHead(json, r.cislo, r.datum);
            intField(json, "druh", r.druh);
            intField(json, "poradi", r.poradi);
            json.endObject();
        }
        json.endArray();
    }
    if (events) {
        writeEvents(json, "plans", plans,
                    [&](const ZARiruvOzav::ddata_plany_t &r) { intField(json, "druh", r.druh); });
        writeEvents(json, "pregnancies", pregnancies, [&](const ZARiruvOzav::ddata_br_t &r) {
            intField(json, "druh", r.druh);
            anyField(json, "udaj1", r.udaj1);
            anyField(json, "udaj2", r.udaj2);
            anyField(json, "udaj3", r.udaj3);
        });
    }
    json.key("send");
    json.integer(args.send);
    json.key("sendDays");
    json.integer(args.sendDays);
    json.key("sendInseminations");
    json.boolean(args.sendInseminations);
    json.key("shortNumbers");
    json.boolean(args.shortNumbers);
    json.endObject();
    return json.take();
}

int parseAttachAnswer(const QJsonObject &answer, bool &loggedIn, QString &session)
{
    if (!answer.value("loggedIn").isBool())
        return MalformedAnswer;
    loggedIn = answer.value("loggedIn").toBool();
    session = answer.value("session").toString();
    if (loggedIn && session.isEmpty())
        return MalformedAnswer;
    return 0;
}

int parseSyncAnswer(const QJsonObject &answer, QList<ZARiruvOzav::zavra_ins_row_t> &rows,
                    SyncCounters &counters)
{
    const QJsonObject received = answer.value("received").toObject();
    SyncCounters c;
    if (counter(received, "animals", c.animals) || counter(received, "inseminations", c.inseminations) ||
        counter(received, "pregnancies", c.pregnancies) || counter(received, "dryOffs", c.dryOffs) ||
        counter(received, "plans", c.plans))
        return MalformedAnswer;
    if (!answer.value("inseminations").isArray())
        return MalformedAnswer;
    QList<ZARiruvOzav::zavra_ins_row_t> parsed;
    for (const QJsonValue &v : answer.value("inseminations").toArray()) {
        const QJsonObject o = v.toObject();
        if (!v.isObject() || !o.value("cislo").isString())
            return MalformedAnswer;
        ZARiruvOzav::zavra_ins_row_t row;
        row.cislo = o.value("cislo").toString();
        row.datum = QDate::fromString(o.value("datum").toString(), Qt::ISODate);
        const QVariant poradi = variantFrom(o.value("poradi"));
        row.poradi = poradi.type() == QVariant::Int ? poradi : QVariant();
        row.byk = o.value("byk").isString() ? QVariant(o.value("byk").toString()) : QVariant();
        row.byk_jmeno =
            o.value("byk_jmeno").isString() ? QVariant(o.value("byk_jmeno").toString()) : QVariant();
        row.udaj1 = variantFrom(o.value("udaj1"));
        QVariant *details[] = {&row.udaj6,  &row.udaj7,  &row.udaj8,  &row.udaj9,  &row.udaj10,
                               &row.udaj11, &row.udaj12, &row.udaj13, &row.udaj14, &row.udaj15};
        for (int i = 0; i < 10; ++i)
            *details[i] = variantFrom(o.value(QString("udaj%1").arg(i + 6)));
        parsed.append(row);
    }
    rows.append(parsed);
    counters = c;
    return 0;
}

qint64 maxSyncAnswerBytes(int animals)
{
    return qMin<qint64>(MaxAnswerBytes, (1 << 20) + qint64(qMax(0, animals)) * 4096);
}

bool hasDuplicateKeys(const QByteArray &json)
{
    // Qt's parser refuses a document nested deeper than this; nothing deeper needs looking at.
    constexpr size_t NestingLimit = 1024;
    struct Level
    {
        bool object = false;
        bool expectKey = false;
        QSet<QString> keys;
    };
    std::vector<Level> levels;
    const int n = json.size();
    for (int i = 0; i < n; ++i) {
        const char c = json.at(i);
        if (c == '"') {
            const int start = ++i;
            bool escaped = false;
            while (i < n && json.at(i) != '"') {
                if (json.at(i) == '\\') {
                    escaped = true;
                    ++i;
                }
                ++i;
            }
            if (i >= n)
                return false; // unterminated: the parser refuses it anyway
            if (!levels.empty() && levels.back().object && levels.back().expectKey) {
                const QByteArray raw = json.mid(start, i - start);
                // Escapes name the same key in other spellings; let the parser decode them.
                const QString key =
                    escaped ? QJsonDocument::fromJson("[\"" + raw + "\"]").array().at(0).toString()
                            : QString::fromUtf8(raw);
                if (levels.back().keys.contains(key))
                    return true;
                levels.back().keys.insert(key);
                levels.back().expectKey = false;
            }
        } else if (c == '{' || c == '[') {
            if (levels.size() == NestingLimit)
                return false;
            levels.push_back(Level{c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
        } else if (c == ',' && !levels.empty() && levels.back().object) {
            levels.back().expectKey = true;
        }
    }
    return false;
}

int statusError(int status, const QString &error)
{
    if (status == 404 && error == "unknown_farm")
        return UnknownFarm;
    if (status == 401)
        return SessionExpired;
    if (status == 400 || status == 413 || status == 422)
        return Rejected;
    return HttpStatus;
}

namespace {

// ZAVRA_CA_FILE: PEM certificates trusted besides the system's. False when it is set but unusable.
bool extraCertificates(QList<QSslCertificate> &certificates)
{
    const QString path = qEnvironmentVariable("ZAVRA_CA_FILE");
    if (path.isEmpty())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    certificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    return !certificates.isEmpty();
}

int transportError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::TimeoutError:
        return Timeout;
    case QNetworkReply::SslHandshakeFailedError:
        return TlsFailure;
    default:
        return Unreachable;
    }
}

} // namespace

int postJson(QNetworkAccessManager &network, const QUrl &url, const QJsonObject &body, const QString &session,
             QJsonObject &answer, int limitMs, qint64 maxBytes)
{
    return postJson(network, url, QJsonDocument(body).toJson(QJsonDocument::Compact), session, answer,
                    limitMs, maxBytes);
}

int postJson(QNetworkAccessManager &network, const QUrl &url, const QByteArray &body, const QString &session,
             QJsonObject &answer, int limitMs, qint64 maxBytes)
{
    if (checkRegistryUrl(url) != 0)
        return InsecureUrl;

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("Accept", "application/json");
    request.setHeader(QNetworkRequest::UserAgentHeader, "ziviviver/1");
    if (!session.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + session.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (url.scheme().compare("https", Qt::CaseInsensitive) == 0) {
        QList<QSslCertificate> extra;
        if (!extraCertificates(extra))
            return TlsFailure;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!extra.isEmpty())
            tls.setCaCertificates(tls.caCertificates() + extra);
        request.setSslConfiguration(tls);
    }
    // A proxy from the environment must not see requests meant for this machine.
    network.setProxy(netrule::isLoopbackHost(url.host()) ? QNetworkProxy(QNetworkProxy::NoProxy)
                                                         : QNetworkProxy(QNetworkProxy::DefaultProxy));

    // The connection kept alive from the previous request is reused for this one.
    setLowDelayToPort(url.port(url.scheme().compare("https", Qt::CaseInsensitive) == 0 ? 443 : 80));
    std::unique_ptr<QNetworkReply> reply(network.post(request, body));
    reply->setReadBufferSize(1 << 20);
    bool timedOut = false;
    bool tlsRefused = false;
    bool tooLong = false;
    QByteArray data;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, &loop, [&] { tlsRefused = true; });
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // The answer is taken as it arrives, so that no more than the limit is ever held.
    const auto take = [&] {
        if (tooLong)
            return;
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.isValid() && announced.toLongLong() > maxBytes)
            tooLong = true;
        else
            data += reply->read(maxBytes + 1 - data.size());
        if (data.size() > maxBytes)
            tooLong = true;
        if (tooLong) {
            data.clear();
            data.squeeze();
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QIODevice::readyRead, &loop, take);
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, take);
    timer.start(limitMs > 0 ? qMin(limitMs, timeoutMs()) : timeoutMs());
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    timer.stop();

    if (timedOut)
        return Timeout;
    if (tlsRefused)
        return TlsFailure;
    if (!tooLong)
        take();
    if (tooLong)
        return MalformedAnswer;
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid())
        return transportError(reply->error());
    const int status = statusAttribute.toInt();
    if (hasDuplicateKeys(data))
        return status != 200 ? statusError(status, QString()) : MalformedAnswer;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(data, &parseError);
    if (status != 200)
        return statusError(status, doc.object().value("error").toString());
    // An answer cut off after its headers still has a status.
    if (reply->error() != QNetworkReply::NoError)
        return MalformedAnswer;
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return MalformedAnswer;
    answer = doc.object();
    return 0;
}

} // namespace zavra
