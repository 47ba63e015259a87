#include "adapters/delaval/delavalformat.h"

namespace delaval {

QString requestFileName()
{
    return QStringLiteral("stablomat_in.txt");
}

QString answerFileName()
{
    return QStringLiteral("stablomat_out.txt");
}

QString recordFileName()
{
    return QStringLiteral("fin_stablomat_modify.ads");
}

QString recordAnswerFileName()
{
    return QStringLiteral("fout_stablomat_modify.ads");
}

const adis::Entity &senderHeader()
{
    static const adis::Entity table("990001", {{"00900006", 24, 0, "sender"},
                                               {"00900009", 8, 0, "data dic"},
                                               {"00900002", 8, 0, "version"},
                                               {"00900009", 8, 0, "data dic"},
                                               {"00900002", 8, 0, "version"}});
    return table;
}

const adis::Entity &cowRequest()
{
    static const adis::Entity table(
        "390006",
        {{"00900070", 6, 0, "cow"},       {"00300033", 8, 0, "bird"},       {"00300033", 8, 0, "bird"},
         {"00300348", 15, 0, "COW_ID"},   {"00303924", 15, 0, "DAM_ID"},    {"00303925", 15, 0, "FATHER_ID"},
         {"00303926", 1, 0, "SEX"},       {"00300282", 5, 0, "ACTTAG"},     {"00300002", 5, 0, "B_TRANS"},
         {"00303930", 15, 0, "HDX_TRA"},  {"00303931", 15, 0, "TRANS"},     {"00300003", 3, 0, "GROUP_NO"},
         {"00300035", 8, 0, "CAL D"},     {"00300036", 2, 0, "LACT NO"},    {"00300034", 8, 0, "HEAT D"},
         {"00300357", 8, 0, "INS D"},     {"00300037", 2, 0, "INSEMINAT."}, {"00304058", 1, 0, "PREGNANT"},
         {"00351141", 8, 0, "PREG D"},    {"00300194", 8, 0, "DRY D"},      {"00303938", 8, 0, "ABORT D"},
         {"00304063", 1, 0, "BUILD_UP"},  {"00300374", 15, 0, "SIRE NAME"}, {"00300130", 4, 2, "MILK 1"},
         {"00300133", 4, 2, "MILK 2"},    {"00300136", 4, 2, "MILK 3"},     {"00300139", 4, 2, "MILK 4"},
         {"00300119", 6, 0, "M DUR 1"},   {"00300120", 6, 0, "M DUR 2"},    {"00300121", 6, 0, "M DUR 3"},
         {"00300122", 6, 0, "M DUR 4"},   {"00300366", 6, 0, "M TIM 1"},    {"00300367", 6, 0, "M TIM 2"},
         {"00300368", 6, 0, "M TIM 3"},   {"00300369", 6, 0, "M TIM 4"},    {"00308503", 8, 0, "REAL DATE"},
         {"00300017", 1, 0, "SLAUG FLG"}, {"00300142", 4, 2, "MILK Y1"},    {"00300145", 4, 2, "MILK Y2"},
         {"00300148", 4, 2, "MILK Y3"},   {"00300151", 4, 2, "MILK Y4"},    {"00300123", 6, 0, "M DUR Y1"},
         {"00300124", 6, 0, "M DUR Y2"},  {"00300125", 6, 0, "M DUR Y3"},   {"00300126", 6, 0, "M DUR Y4"},
         {"00300370", 6, 0, "M TIM Y1"},  {"00300371", 6, 0, "M TIM Y2"},   {"00300372", 6, 0, "M TIM Y3"},
         {"00300373", 6, 0, "M TIM Y4"}});
    return table;
}

const adis::Entity &inseminationRecord()
{
    static const adis::Entity table("390006", {{"00300001", 6, 0, " cow"},
                                               {"00300357", 8, 0, "ins"},
                                               {"00300037", 2, 0, "insp"},
                                               {"00300374", 15, 0, "sire name"}});
    return table;
}

QStringList headerBlock()
{
    return {adis::comment(QStringLiteral("                   FILE FOR DELAVAL-VELMORIN COMMUNICATION")),
            adis::comment(QStringLiteral("------------------")),
            adis::comment(QStringLiteral(" Sender information")),
            adis::comment(QStringLiteral("      |sender    |data dic  |version   |data dic |version")),
            senderHeader().headerDefinition(),
            adis::ValueLine(senderHeader(), true)
                .text(QStringLiteral(" DeLaval AB Alpro/ISO"))
                .text(QStringLiteral("Alpro_DD"))
                .text(QStringLiteral("  6.40"))
                .text(QStringLiteral("aa_Alpro"))
                .text(QStringLiteral("  5.0"))
                .toString()};
}

QString requestText()
{
    QStringList lines = headerBlock();
    lines << adis::comment(QStringLiteral("------------------")) << cowRequest().captionLine(true)
          << cowRequest().request() << QStringLiteral("ZN");
    return adis::fileText(lines);
}

QString recordFileText(const QStringList &valueLines)
{
    QStringList lines = headerBlock();
    lines << QString() << adis::comment(QStringLiteral(" ***** Reprodukce *****"))
          << inseminationRecord().captionLine() << QString() << inseminationRecord().definition();
    lines << valueLines << QString() << QStringLiteral("ZN");
    return adis::fileText(lines);
}

} // namespace delaval
