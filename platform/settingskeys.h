// Keys of the settings store and the typed reads with their defaults.
#pragma once

#include <QSettings>
#include <QString>

namespace keys {
inline const QString Uuid = QStringLiteral("settings/uuid");
inline const QString Staj = QStringLiteral("settings/staj");
inline const QString TrayIcon = QStringLiteral("settings/trayicon");
inline const QString ExchangeHours = QStringLiteral("settings/zavra_dat_vymena_hod");
inline const QString FetchYields = QStringLiteral("settings/stahovat_nadoje");
inline const QString CloudNumber = QStringLiteral("settings/zavra_cloud_cislo");
inline const QString CloudUser = QStringLiteral("settings/zavra_uzivatel");
inline const QString CloudPassword = QStringLiteral("settings/zavra_heslo");
inline const QString InsDays = QStringLiteral("settings/zavra_stahovat_inseminace_dny");
inline const QString ImportInseminations = QStringLiteral("settings/zavra_stahovat_inseminace_povoleno");
inline const QString SendDays = QStringLiteral("settings/zavra_odesilat_udaje_dny");
inline const QString SendInseminations = QStringLiteral("settings/zavra_odesilat_inseminace_povoleno");
// string: "<version> <UTC time>" of the last update attempt, written when it starts; the same
// version is not downloaded again for 24 hours (docs/update-protocol.md).
inline const QString FailedUpdate = QStringLiteral("settings/aktualizace_neuspesna");

// The fifteen milking-period values, in the order they are read and written.
inline const char *const MilkingPeriodNames[15] = {"dojeni1",    "dojeni2",   "dojeni3",    "od_datum1",
                                                   "od_hodina1", "do_datum1", "do_hodina1", "od_datum2",
                                                   "od_hodina2", "do_datum2", "do_hodina2", "od_datum3",
                                                   "od_hodina3", "do_datum3", "do_hodina3"};
inline QString milkingPeriodKey(int index)
{
    return QStringLiteral("settings/") + QLatin1String(MilkingPeriodNames[index]);
}
} // namespace keys

// Every read passes a textual default: "" for strings, "0" for booleans and integers.
inline QString readString(const QSettings *s, const QString &key)
{
    return s->value(key, QStringLiteral("")).toString();
}
inline bool readBool(const QSettings *s, const QString &key)
{
    return s->value(key, QStringLiteral("0")).toBool();
}
inline int readInt(const QSettings *s, const QString &key)
{
    return s->value(key, QStringLiteral("0")).toInt();
}
