// ziviviver: the herd-registry synchronisation library. The program uses only what is declared here.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QVector>

class QNetworkAccessManager;
class QNetworkReply;
class QFile;

// Negative results of ZARiruvOzav::attach and ZARiruvOzav::syncZavra (docs/cloud-api.md).
namespace zavra {
enum Error
{
    Unreachable = -1,     // no connection to the registry
    Timeout = -2,         // no complete answer within the time limit
    HttpStatus = -3,      // the registry answered with an unexpected HTTP status
    MalformedAnswer = -4, // the answer is not the JSON the API describes
    NotAttached = -5,     // syncZavra without a successful attach
    InsecureUrl = -6,     // plain http to a host that is not loopback, or an unusable URL
    TlsFailure = -7,      // the registry's certificate could not be verified
    UnknownFarm = -8,     // the cloud number is not known to the registry
    Rejected = -9,        // the registry refused the records (bad request)
    SessionExpired = -10, // the registry no longer knows the session of this attach
};
}

class ZARiruvOzav : public QObject
{
    Q_OBJECT
public:
    struct ddata_zv_t // an animal
    {
        QString cislo;
        QVariant tech_cislo;
        QVariant transponder;
        QVariant vyrazena;
    };
    struct ddata_ins_t // an insemination held by the milking system
    {
        QString cislo;
        QDate datum;
        QVariant druh;
        QVariant poradi;
        QString byk;
    };
    struct ddata_br_t // a pregnancy event
    {
        QString cislo;
        QDate datum;
        QVariant druh;
        QVariant udaj1;
        QVariant udaj2;
        QVariant udaj3;
    };
    struct ddata_za_t // a drying-off
    {
        QString cislo;
        QDate datum;
        QVariant udaj;
    };
    struct ddata_plany_t // a plan entry
    {
        QString cislo;
        QDate datum;
        QVariant druh;
    };
    struct zavra_ins_row_t // an insemination downloaded from the registry
    {
        QString cislo;
        QVariant udaj1;
        QDate datum;
        QVariant poradi;
        QVariant byk;
        QVariant byk_jmeno;
        QVariant udaj6, udaj7, udaj8, udaj9, udaj10, udaj11, udaj12, udaj13, udaj14, udaj15;
    };

    explicit ZARiruvOzav(QObject *parent = nullptr);
    ~ZARiruvOzav() override;

    // Logs in to the registry. Negative: an error code; otherwise loggedIn tells whether the
    // credentials were accepted.
    int attach(void *dataContext, const QVariant &cloudNumber, const int &mode, const QString &service,
               const QString &user, const QString &password, QObject *reserved1, QObject *reserved2,
               QObject *reserved3);

    // Sends the records and fills `downloaded` with the inseminations recorded in the registry
    // for the last insDays days. Negative: an error code; then nothing else is valid.
    int syncZavra(bool shortNumbers, int download, int insDays, int send, int sendDays,
                  bool sendInseminations, const bool &complete, const QMap<QString, ddata_zv_t> &animals,
                  const QList<ddata_ins_t> &inseminations, const QList<ddata_br_t> &pregnancies,
                  const QList<ddata_za_t> &dryOffs, const QList<ddata_plany_t> &plans,
                  QList<zavra_ins_row_t> &downloaded, int &sentAnimals, int &sentInseminations,
                  int &sentPregnancies, int &sentDryOffs, int &sentPlans);

    void detach();

    static void removeNonNumericChars(QString &text);

    bool loggedIn = false;

private:
    class Private;
    Private *d;
};

class VIRiza
{
public:
    static void removeNonNumericChars(QString &text);
};

// Reads a DIF spreadsheet file (row 0 is the caption row).
class EDifReader
{
public:
    explicit EDifReader(const QString &fileName);
    void init();
    QString getData(const int &row, const int &col) const;

    bool isValid = false;
    int rowCount = 0;
    int colCount = 0;

private:
    QString fileName;
    // The file's bytes (UTF-8 or Windows-1250) and each cell as a position in them, or as a null
    // cell, or as an index into `texts` for the few values that are not a plain run of bytes.
    QByteArray bytes;
    int charset = 0;
    QVector<quint64> cells;
    QVector<int> rowStarts; // row r holds cells rowStarts[r] .. rowStarts[r + 1] - 1
    QVector<QString> texts;
};

struct dm_request_t
{
    QUrl pageUrl;
    QUrl refererUrl;
    QUrl fileUrl;
    QString fileName;
    QString title;
    QString checksum;
    bool overwrite = false;
    bool resume = false;
    bool hidden = false;
};

// Downloads files into an output directory, one after another.
class ZOVeravidoZedozor : public QObject
{
    Q_OBJECT
public:
    explicit ZOVeravidoZedozor(QObject *parent = nullptr);
    ~ZOVeravidoZedozor() override;

    void setOutputDir(const QString &dir);
    void append(const dm_request_t &request, bool start);

    int downloadedCount = 0; // successful downloads

signals:
    void finishedDownload();

private:
    class Private;
    Private *d;
};
