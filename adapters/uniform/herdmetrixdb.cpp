#include "adapters/uniform/herdmetrixdb.h"

#include "exchange/adis.h"

#include <QSqlQuery>

namespace uniform {

const char *const BullStatement = "select DIERID,KICODE FROM DIER_MNL where SWFOKSTIER>0";

const char *const DryOffStatement =
    "select d.DIERID,d.VORIGNUMMER,d.LEVENSNUMMER,        dl.DATUMAFKALVEN,dl.LACTATIENR,"
    "dl.DATUMWERKELIJKEDROOGZET from dier d left join DIER_MELKGIFT_LACTATIE dl on dl.DIERID=d.DIERID ";

const char *const NewBullStatement = "select ODIERID from P_INS_DIER(\n"
                                     "    1 /* GESLACHT_CODE pohlavi 1-byk */,\n"
                                     "    '1.1.2000' /* GEBOORTEDATUM */,\n"
                                     "    0 /* EIGENAARID */,\n"
                                     "    0 /* GEBOORTE_BEDRIJF */,\n"
                                     "    NULL /* DIERIDMOEDER */,\n"
                                     "    NULL /* DIERIDVADER */,\n"
                                     "    NULL /* DIERIDDRAAGMOEDER */,\n"
                                     "    NULL /* GEBOORTEVERLOOP_CODE */,\n"
                                     "    NULL /* HAARKLEUR_CODE */,\n"
                                     "    NULL /* AANHOUDEN */,\n"
                                     "    NULL /* VERBLIJFPLAATS_CODE */,\n"
                                     "    NULL /* ZENDERNUMMER */,\n"
                                     "    NULL /* ZENDERNUMMER2 */,\n"
                                     "    NULL /* ZENDERNUMMER3 */,\n"
                                     "    0 /* STAMBOEK */,\n"
                                     "    NULL /* OPMERKING */,\n"
                                     "    0 /* EXCLUDED */,\n"
                                     "    100701 /* SOURCEID */)";

const char *const MarkBullStatement = "UPDATE DIER_MNL SET SWFOKSTIER=1 WHERE DIERID=?";

const BullIdentifier BullIdentifiers[4] = {
    {"select DIER_ID_ID from P_INS_DIER_ID(?,'1.1.2000',3,?,100701)", BullIdentifier::Name},
    {"select DIER_ID_ID from P_INS_DIER_ID(?,'1.1.2000',7,?,100701)", BullIdentifier::Four},
    {"select DIER_ID_ID from P_INS_DIER_ID(?,'1.1.2000',21,?,100701)", BullIdentifier::Empty},
    {"select DIER_ID_ID from P_INS_DIER_ID(?,'1.1.2000',23,?,100701)", BullIdentifier::Code},
};

const char *const InseminationStatement =
    "select DIER_VOORTPLANTING_ID from P_INS_DIER_VOORTPLANTING(       "
    "?,?,1,2,0,NULL,NULL,?,NULL,'',1,NULL,NULL,NULL,NULL,NULL,NULL,NULL,100102)";

const char *const InseminationCheckStatement =
    "select DIERID FROM DIER_VOORTPLANTING where DIER_VOORTPLANTING_ID=?";

QString animalEventStatement(const Windows &w)
{
    QString s = QStringLiteral("select d.DIERID,d.VORIGNUMMER,d.LEVENSNUMMER,d.ZENDERNUMMER,d.NUMMER ");
    if (w.insDays >= 1)
        s += QStringLiteral("       ,dv.DATUMBEGIN,dmnl.KICODE,bull.naam,dv.VOORTPLANTINGCODE ");
    s += QStringLiteral("from DIER d ");
    if (w.insDays >= 1 || w.sendDays >= 1) {
        const QString from =
            w.today.addDays(-qMax(w.insDays, w.sendDays)).toString(QStringLiteral("yyyy-MM-dd"));
        const QString today = w.today.toString(QStringLiteral("yyyy-MM-dd"));
        s += QStringLiteral("left join DIER_VOORTPLANTING dv on dv.DIERID=d.DIERID and ");
        s += QStringLiteral("      dv.DATUMBEGIN>='") + from +
             QStringLiteral("' and       dv.DATUMBEGIN<='") + today + QStringLiteral("' ");
        s += QStringLiteral("left join DIER bull on bull.DIERID=dv.DIERID_INSEMINATIE ");
        s += QStringLiteral("left join DIER_MNL dmnl on dmnl.DIERID=dv.DIERID_INSEMINATIE ");
    }
    return s;
}

QString normalisedBullCode(const QString &code)
{
    QString s = code;
    s.remove(QLatin1Char(' '));
    s.remove(QLatin1Char('-'));
    return s.toUpper();
}

QString lifeNumber(const QString &registration)
{
    QString s = registration;
    ZARiruvOzav::removeNonNumericChars(s);
    return s;
}

QVariant herdNumber(const QVariant &nummer)
{
    if (nummer.isNull())
        return QVariant();
    const QString text = nummer.toString();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (ok && value > 10000)
        return QVariant();
    return text;
}

QString logLine(bool written, const DownloadedInsemination &row)
{
    return (written ? QStringLiteral("I:") : QStringLiteral("In:")) + adis::blankControls(row.cislo) +
           QLatin1Char(';') + row.datum.toString(QStringLiteral("dd.MM.yyyy")) + QLatin1Char(';') +
           adis::blankControls(row.byk.toString()) + QLatin1Char('\n');
}

void addBull(Tables &t, int dierId, const QString &code)
{
    t.bullById.insert(code, dierId);
    t.bullByNormCode.insert(normalisedBullCode(code), dierId);
}

static QVariant textOrNull(const QVariant &v)
{
    return v.isNull() ? QVariant() : QVariant(v.toString());
}

void addAnimalRow(Tables &t, const AnimalRow &row, const Windows &w)
{
    const QString life = lifeNumber(row.registration.toString());
    // An animal without a registration number (a bull, say) can be neither sent nor matched.
    if (life.isEmpty())
        return;
    Animal a;
    a.cislo = life;
    a.tech_cislo = herdNumber(row.nummer);
    a.transponder = textOrNull(row.transponder);
    t.records.animals.insert(life, a);
    t.cowIdByNumber.insert(life, row.dierId.toString());

    const QDate &date = row.eventDate;
    switch (row.eventCode) {
    case 2:
        if (date.isValid() && date >= w.today.addDays(-w.insDays))
            t.knownInseminations.insert(life, date);
        break;
    case 7:
    case 9:
    case 11:
        if (inSendWindow(date, w.sendDays, w.today)) {
            PregnancyEvent p;
            p.cislo = life;
            p.datum = date;
            p.druh = row.eventCode == 7 ? 1 : row.eventCode == 9 ? 2 : 4;
            t.records.pregnancies.append(p);
        }
        break;
    case 10:
        if (inSendWindow(date, w.sendDays, w.today)) {
            PlanEntry plan;
            plan.cislo = life;
            plan.datum = date;
            plan.druh = 1;
            t.records.plans.append(plan);
        }
        break;
    default:
        break;
    }
}

void addDryOffRow(Tables &t, const QVariant &registration, const QDate &driedOff, const Windows &w)
{
    const QString life = lifeNumber(registration.toString());
    if (life.isEmpty() || !inSendWindow(driedOff, w.sendDays, w.today))
        return;
    DryOff z;
    z.cislo = life;
    z.datum = driedOff;
    t.records.dryOffs.append(z);
}

void readBulls(QSqlDatabase &db, Tables &t)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QLatin1String(BullStatement)))
        return;
    while (q.next())
        addBull(t, q.value(0).toInt(), q.value(1).toString());
}

void readAnimals(QSqlDatabase &db, const Windows &w, Tables &t)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(animalEventStatement(w)))
        return;
    while (q.next()) {
        AnimalRow row;
        row.dierId = q.value(0);
        row.registration = q.value(2);
        row.transponder = q.value(3);
        row.nummer = q.value(4);
        if (w.insDays >= 1) {
            row.eventDate = q.value(5).toDate();
            row.eventCode = q.value(8).toInt();
        }
        addAnimalRow(t, row, w);
    }
}

void readDryOffs(QSqlDatabase &db, const Windows &w, Tables &t)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QLatin1String(DryOffStatement)))
        return;
    while (q.next())
        addDryOffRow(t, q.value(2), q.value(5).toDate(), w);
}

bool commitWork(QSqlDatabase &db)
{
    const bool ok = db.commit();
    if (!ok)
        db.rollback();
    db.transaction();
    return ok;
}

namespace {

// Runs a prepared statement of a selectable procedure: its body runs only when the row is fetched.
bool fetchOne(QSqlQuery &q)
{
    return q.exec() && q.next();
}

// Creates the bull through the stored procedures; its DIERID, or 0 when none came back.
int createBull(QSqlDatabase &db, const DownloadedInsemination &row)
{
    int id = 0;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QLatin1String(NewBullStatement)) || !q.next())
            return 0;
        id = q.value(0).toInt();
    }
    if (id <= 0)
        return 0;
    QSqlQuery mark(db);
    if (mark.prepare(QLatin1String(MarkBullStatement))) {
        mark.addBindValue(id);
        mark.exec();
    }
    for (const BullIdentifier &identifier : BullIdentifiers) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.prepare(QLatin1String(identifier.statement)))
            continue;
        q.addBindValue(id);
        switch (identifier.value) {
        case BullIdentifier::Name:
            q.addBindValue(row.byk_jmeno);
            break;
        case BullIdentifier::Four:
            q.addBindValue(4);
            break;
        case BullIdentifier::Empty:
            q.addBindValue(QStringLiteral(""));
            break;
        case BullIdentifier::Code:
            q.addBindValue(row.byk);
            break;
        }
        fetchOne(q);
    }
    return id;
}

// The bull's DIERID by code, then by normalised code; a bull not known yet is created and
// remembered for the later rows of the run.
int bullFor(QSqlDatabase &db, Tables &t, const DownloadedInsemination &row)
{
    const QString code = row.byk.toString();
    int id = t.bullById.value(code, 0);
    if (id == 0)
        id = t.bullByNormCode.value(normalisedBullCode(code), 0);
    if (id == 0) {
        id = createBull(db, row);
        if (id > 0)
            addBull(t, id, code);
    }
    return id;
}

// Inserts the insemination; true when the procedure gave its identifier back.
bool insertInsemination(QSqlDatabase &db, const QString &cowId, const QDate &date, int bullId)
{
    QString eventId;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.prepare(QLatin1String(InseminationStatement)))
            return false;
        q.addBindValue(cowId);
        q.addBindValue(date);
        q.addBindValue(bullId);
        if (!fetchOne(q))
            return false;
        eventId = q.value(0).toString();
    }
    QSqlQuery check(db);
    check.setForwardOnly(true);
    if (check.prepare(QLatin1String(InseminationCheckStatement))) {
        check.addBindValue(eventId);
        fetchOne(check);
    }
    return true;
}

} // namespace

int writeBack(QSqlDatabase &db, const QList<DownloadedInsemination> &downloaded, Tables &t,
              const std::function<bool()> &importAllowed, QString &log)
{
    int Written = 0;
    for (const DownloadedInsemination &row : downloaded) {
        if (t.knownInseminations.contains(row.cislo, row.datum))
            continue;
        const QString cowId = t.cowIdByNumber.value(row.cislo);
        // Without a date there is no insemination (Firebird would store its day 0, 1858-11-17).
        if (cowId.isEmpty() || !row.datum.isValid())
            continue;
        QString line;
        bool writing = false;
        if (!importAllowed()) {
            line = logLine(false, row);
        } else {
            writing = true;
            const int bullId = bullFor(db, t, row);
            if (bullId > 0 && insertInsemination(db, cowId, row.datum, bullId))
                line = logLine(true, row);
        }
        // Not committed (the server went away), or no event inserted: the row is not counted as
        // written and has no "I:" line; the next run finds it missing and writes it.
        if ((!commitWork(db) || line.isEmpty()) && writing)
            continue;
        log += line;
        ++Written;
    }
    return Written;
}

} // namespace uniform
