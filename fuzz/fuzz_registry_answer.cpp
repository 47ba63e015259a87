// The herd registry's JSON answers: attach and sync answers, and the error object of other statuses.
#include "ziviviver/registryclient_p.h"

#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

// Qt allocates some of its tables once, on first use (seen as a 400-byte "leak" of the first
// answer holding dates and numbers); use them once before inputs are counted.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QByteArray warm =
        R"({"received":{"animals":1,"inseminations":1,"pregnancies":1,"dryOffs":1,"plans":1},
        "inseminations":[{"cislo":"1","datum":"2024-05-20","poradi":3,"byk":"B","byk_jmeno":"N","udaj1":"x",
        "udaj6":1.5,"udaj7":true,"udaj8":null,"udaj15":"2024-05-01"}]})";
    QList<ZARiruvOzav::zavra_ins_row_t> rows;
    zavra::SyncCounters counters;
    zavra::parseSyncAnswer(QJsonDocument::fromJson(warm).object(), rows, counters);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    // The library reads no answer that names a key twice (Qt would leak its first value).
    if (zavra::hasDuplicateKeys(body))
        return 0;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    const QJsonObject answer = doc.object();

    bool loggedIn = false;
    QString session;
    if (zavra::parseAttachAnswer(answer, loggedIn, session) == 0 && loggedIn && session.isEmpty())
        __builtin_trap(); // a successful login always brings a session

    QList<ZARiruvOzav::zavra_ins_row_t> rows;
    zavra::SyncCounters counters;
    if (zavra::parseSyncAnswer(answer, rows, counters) == 0) {
        for (const ZARiruvOzav::zavra_ins_row_t &row : rows) {
            (void)row.datum.isValid();
            (void)row.poradi.toInt();
            (void)row.byk.toString();
        }
    } else if (!rows.isEmpty()) {
        __builtin_trap(); // a refused answer hands back nothing
    }
    zavra::statusError(size ? data[0] * 2 : 0, answer.value(QStringLiteral("error")).toString());
    return 0;
}
