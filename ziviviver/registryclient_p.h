// Private to the library: the herd-registry protocol (docs/cloud-api.md) as plain functions, and
// the blocking HTTP exchange under them.
#pragma once

#include "ziviviver.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>

class QNetworkAccessManager;

namespace zavra {

extern const char *const DefaultRegistryUrl;
const int DefaultTimeoutMs = 30000;
const int DetachTimeoutMs = 5000; // a farewell is not worth a long wait

// ZAVRA_URL when set, else the built-in address.
QUrl registryUrl();
// 0 when requests may go to `url`; InsecureUrl for plain http to a host that is not loopback,
// another scheme or an unusable URL.
int checkRegistryUrl(const QUrl &url);
// The URL of an API request (`name` is "attach", "sync" or "detach") under the base URL.
QUrl endpoint(const QUrl &base, const QString &name);
// ZAVRA_TIMEOUT_MS when it is a positive number, else DefaultTimeoutMs.
int timeoutMs();

// JSON forms of the record fields: undefined (left out of the object) for a null QVariant.
QJsonValue textValue(const QVariant &v);
QJsonValue intValue(const QVariant &v);
QJsonValue anyValue(const QVariant &v);
QVariant variantFrom(const QJsonValue &v); // null QVariant for an absent or null value

QJsonObject attachRequest(const QString &cloud, int mode, const QString &service, const QString &user,
                          const QString &password);

struct SyncArguments
{
    bool shortNumbers = false;
    int download = 0;
    int insDays = 0;
    int send = 0;
    int sendDays = 0;
    bool sendInseminations = false;
    bool complete = true;
};
// The sync request as a JSON object: what the registry reads.
QJsonObject syncRequest(const SyncArguments &args, const QMap<QString, ZARiruvOzav::ddata_zv_t> &animals,
                        const QList<ZARiruvOzav::ddata_ins_t> &inseminations,
                        const QList<ZARiruvOzav::ddata_br_t> &pregnancies,
                        const QList<ZARiruvOzav::ddata_za_t> &dryOffs,
                        const QList<ZARiruvOzav::ddata_plany_t> &plans);
// The same request as the text sent, written straight from the records: byte for byte what
// QJsonDocument(syncRequest(...)).toJson(QJsonDocument::Compact) gives, without a JSON value per field.
QByteArray syncRequestBody(const SyncArguments &args, const QMap<QString, ZARiruvOzav::ddata_zv_t> &animals,
                           const QList<ZARiruvOzav::ddata_ins_t> &inseminations,
                           const QList<ZARiruvOzav::ddata_br_t> &pregnancies,
                           const QList<ZARiruvOzav::ddata_za_t> &dryOffs,
                           const QList<ZARiruvOzav::ddata_plany_t> &plans);

// 0, or MalformedAnswer when the answer lacks what the API promises.
int parseAttachAnswer(const QJsonObject &answer, bool &loggedIn, QString &session);

struct SyncCounters
{
    int animals = 0;
    int inseminations = 0;
    int pregnancies = 0;
    int dryOffs = 0;
    int plans = 0;
};
int parseSyncAnswer(const QJsonObject &answer, QList<ZARiruvOzav::zavra_ins_row_t> &rows,
                    SyncCounters &counters);

// True when an object in the JSON text names a key twice. Qt 5.15's JSON parser loses the memory
// of the first value when that value is an object or an array, so such answers are refused unread.
bool hasDuplicateKeys(const QByteArray &json);

// The error code for an answer with HTTP status `status` (not 200) and error code `error`.
int statusError(int status, const QString &error);

// The largest answer read; a longer one is a MalformedAnswer, and is not read further. Reading an
// answer takes about twenty times its size, so each request reads no more than its answer needs.
constexpr qint64 MaxAnswerBytes = 64 * 1024 * 1024;
// attach and detach answer with a few short fields.
constexpr qint64 MaxShortAnswerBytes = 64 * 1024;
// A sync answer lists the farm's inseminations of the last insDays days: a few hundred bytes each,
// rarely more than a few for a cow. The most read for a herd of that many animals.
qint64 maxSyncAnswerBytes(int animals);

// One POST of a JSON object, waiting in a local event loop at most timeoutMs() (and at most
// `limitMs` when that is positive), reading at most `maxBytes` of the answer. On success (0)
// `answer` holds the answer object; otherwise the result is an error code.
int postJson(QNetworkAccessManager &network, const QUrl &url, const QJsonObject &body, const QString &session,
             QJsonObject &answer, int limitMs = 0, qint64 maxBytes = MaxShortAnswerBytes);
int postJson(QNetworkAccessManager &network, const QUrl &url, const QByteArray &body, const QString &session,
             QJsonObject &answer, int limitMs = 0, qint64 maxBytes = MaxShortAnswerBytes);

} // namespace zavra
