#include "adapters/westfalia/westfaliaformat.h"

namespace westfalia {

QString reproductionRequestFileName()
{
    return QStringLiteral("fin_stablomat_reprodukce_posledni.ads");
}

QString reproductionAnswerFileName()
{
    return QStringLiteral("fout_stablomat_reprodukce_posledni.ads");
}

QString milkRequestFileName()
{
    return QStringLiteral("fin_stablomat_nadoje.ads");
}

QString milkAnswerFileName()
{
    return QStringLiteral("fout_stablomat_nadoje.ads");
}

QString modifyRequestFileName()
{
    return QStringLiteral("fin_stablomat_modify.ads");
}

const adis::Entity &senderHeader()
{
    static const adis::Entity header("000000", {{"00000000", 8, 0, "sender"},
                                                {"00900006", 24, 0, " sender"},
                                                {"00900008", 8, 0, "version"},
                                                {"00900003", 8, 0, "date"},
                                                {"00900004", 6, 0, "time"}});
    return header;
}

QStringList headerBlock()
{
    const adis::Entity &header = senderHeader();
    QString captions = QStringLiteral("CN      ");
    for (const adis::Item &item : header.items())
        captions += QLatin1Char('|') + item.caption.leftJustified(10);
    // A constant: the date and time are those of the original sender, not of today.
    return {adis::comment(QStringLiteral("                   FILE FOR WESTFALIA-VELMORIN COMMUNICATION")),
            adis::comment(QString(18, QLatin1Char('-'))),
            adis::comment(QStringLiteral(" Sender information")),
            captions,
            header.headerDefinition(),
            adis::ValueLine(header, true)
                .text(QStringLiteral("DD:"))
                .text(QStringLiteral("Velmorin"))
                .text(QStringLiteral("5.50"))
                .text(QStringLiteral("20010112"))
                .text(QStringLiteral("102200"))
                .toString(),
            adis::comment(QString(18, QLatin1Char('-')))};
}

QString reproductionQuery()
{
    return QStringLiteral("R:COW,Reg1,resp\\16,typ,SIRE,DAM,st,Gp,bd,NAME\\12,1{BIRDAT},1{CLVDAT},1{LACTNO},"
                          "1{SRVDAT,SrvCount},1{PRGDAT,prgdiag},1{DRYDAT},1{abtdat},ai\\2,GateD\\9,1{G1\\2},"
                          "1{G2\\2},1{G3\\2},1{G4\\2},SelCount");
}

QString milkQuery()
{
    return QStringLiteral("R:COW,Reg1,") + QString::number(MilkingsPerLine) +
           QStringLiteral(
               "{IMDat,IMTim\\6,IMWt\\5.1,IMDuration\\5.1,MsCondA,IMFlg\\1,IMIDDate\\9,IMIDTime\\6,"
               "IMStartSec\\4,IMStall\\3,IMAttachDate\\9,IMAttachTime\\6,IMCode\\2}");
}

namespace {

QString requestText(const QString &answerName, const QString &title, const QString &query)
{
    QStringList lines = headerBlock();
    lines << QStringLiteral("ON ") + answerName << QStringLiteral("C: ") + title << query
          << QStringLiteral("TN") << QStringLiteral("ZN");
    return adis::fileText(lines);
}

} // namespace

QString reproductionRequestText()
{
    return requestText(reproductionAnswerFileName(), QStringLiteral("Udaje o kravach"), reproductionQuery());
}

QString milkRequestText()
{
    return requestText(milkAnswerFileName(), QStringLiteral("dojeni"), milkQuery());
}

const adis::Entity &cowAnswer()
{
    static const adis::Entity table = adis::Entity::named(
        {{"COW", 6},    {"Reg1", 16},   {"resp", 16},    {"typ", 3},    {"SIRE", 16},   {"DAM", 16},
         {"st", 3},     {"Gp", 3},      {"bd", 4},       {"NAME", 12},  {"BIRDAT", 9},  {"CLVDAT", 9},
         {"LACTNO", 3}, {"SRVDAT", 9},  {"SrvCount", 6}, {"PRGDAT", 9}, {"prgdiag", 2}, {"DRYDAT", 9},
         {"abtdat", 9}, {"ai", 2},      {"GateD", 9},    {"G1", 2},     {"G2", 2},      {"G3", 2},
         {"G4", 2},     {"SelCount", 4}});
    return table;
}

const adis::Entity &milkAnswer()
{
    static const adis::Entity table = [] {
        QVector<adis::Item> items{{"COW", 6}, {"Reg1", 16}};
        const QVector<adis::Item> group{
            {"IMDat", 9},   {"IMTim", 6},        {"IMWt", 4},         {"IMWtTenths", 1}, {"IMDuration", 5},
            {"MsCondA", 5}, {"IMFlg", 1},        {"IMIDDate", 9},     {"IMIDTime", 6},   {"IMStartSec", 4},
            {"IMStall", 3}, {"IMAttachDate", 9}, {"IMAttachTime", 6}, {"IMCode", 2}};
        for (int g = 0; g < MilkingsPerLine; ++g)
            items += group;
        return adis::Entity::named(items);
    }();
    return table;
}

const adis::Entity &eventRecord()
{
    static const adis::Entity table =
        adis::Entity::named({{"COW", 6, 0}, {"SRVDAT", 9}, {"SrvCount", 6, 0}, {"ai", 2}, {"srvsire", 15}});
    return table;
}

namespace {

bool fits(qint64 value, int width)
{
    return QString::number(value).size() <= width;
}

} // namespace

QString eventLine(const QString &cowNumber, const QDate &date, const QVariant &ordinal, const QVariant &sire)
{
    const adis::Entity &table = eventRecord();
    adis::ValueLine line(table);
    line.code(cowNumber).date(date);

    const int count = ordinal.toInt();
    if (count > 0 && fits(count, table.width(2)))
        line.number(count);
    else
        line.unknown();

    if (ordinal.isNull())
        line.number(0);
    else if (fits(count, table.width(3)))
        line.number(count);
    else
        line.unknown();

    const QString sireText = sire.toString();
    if (sire.isNull())
        line.unknown();
    else
        line.code(sireText.isNull() ? QStringLiteral("") : sireText, adis::ValueLine::Overflow::Cut);
    return line.toString();
}

QStringList modifyRequestBeginning()
{
    QStringList lines = headerBlock();
    lines << QStringLiteral("CN ***** EVENT 0 *****") << eventRecord().definition();
    return lines;
}

QString modifyRequestText(const QStringList &eventLines)
{
    QStringList lines = modifyRequestBeginning();
    lines << eventLines << QStringLiteral("TN") << QStringLiteral("ZN");
    return adis::fileText(lines);
}

} // namespace westfalia
