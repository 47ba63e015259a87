#include "adapters/uniform/herdmetrixdb.h"
#include "app/mainwindow.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"
#include "sync/exchangeframe.h"

#include <QSqlError>

namespace {

// The default connection to the HerdMetrix database for one run; closed and removed however the
// run ends.
class HerdMetrixConnection
{
public:
    explicit HerdMetrixConnection(const QString &databaseFile)
        : db(QSqlDatabase::addDatabase(QStringLiteral("QIBASE")))
    {
        db.setHostName(QStringLiteral("localhost"));
        db.setDatabaseName(databaseFile);
        db.setUserName(QStringLiteral("SYSDBA"));
        db.setPassword(QStringLiteral("kelpmoira"));
        // Names with characters outside the server's default set survive only so.
        db.setConnectOptions(QStringLiteral("ISC_DPB_LC_CTYPE=UTF8"));
    }
    ~HerdMetrixConnection()
    {
        db.close();
        const QString name = db.connectionName();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    HerdMetrixConnection(const HerdMetrixConnection &) = delete;
    HerdMetrixConnection &operator=(const HerdMetrixConnection &) = delete;

    QSqlDatabase db;
};

} // namespace

void MainWindow::exchangeUniform(const bool &, const bool &ShowMessages)
{
    ExchangeFrame frame(this, ShowMessages, FrameOptions{/*clearText*/ false, /*progressDialog*/ false});
    const uniform::Windows windows{frame.insDays(), frame.sendDays(), frame.today()};

    HerdMetrixConnection connection(platform::localPath(programPath));
    QSqlDatabase &db = connection.db;
    const QString missingClient = platform::missingDatabaseClient();
    if (!missingClient.isEmpty()) {
        frame.inform(tr("Chyba připojení k databázi.") + QLatin1Char('\n') +
                     tr("Nelze načíst knihovnu %1.").arg(missingClient));
        frame.fail(RunResult::DatabaseFailed);
        return;
    }
    if (!db.open()) {
        // Shown in timer runs too: nothing can be exchanged until it is mended.
        frame.inform(tr("Chyba připojení k databázi.") + QLatin1Char('\n') + db.lastError().text());
        frame.fail(RunResult::DatabaseFailed);
        return;
    }
    // The client library installs its own SIGTERM and SIGINT handlers as it attaches.
    platform::reinstallEndSignals();
    // QIBASE commits nothing on commit() without an open transaction.
    db.transaction();

    uniform::Tables tables;
    uniform::readBulls(db, tables);
    uniform::readAnimals(db, windows, tables);
    if (windows.sendDays >= 1)
        uniform::readDryOffs(db, windows, tables);
    uniform::commitWork(db);
    if (!frame.hasAnimals(tables.records)) {
        frame.finish(QString());
        return;
    }

    QString log;
    SyncOptions sync;
    sync.shortNumbers = false;
    sync.sendInseminations = false;
    sync.resultForm = ResultForm::Short;
    frame.synchronise(tables.records, sync, [&](const QList<DownloadedInsemination> &downloaded) {
        return uniform::writeBack(
            db, downloaded, tables, [this] { return readBool(settings, keys::ImportInseminations); }, log);
    });

    frame.finish(log);
    db.commit();
}
