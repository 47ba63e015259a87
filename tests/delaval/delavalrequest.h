// The DeLaval cow request as the program writes it for iso32.exe, byte for byte: shared by the
// Linux exchange tests and the Windows program's test under Wine.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace {

inline QByteArray crlf(const QStringList &lines)
{
    QByteArray bytes;
    for (const QString &l : lines)
        bytes += l.toUtf8() + "\r\n";
    return bytes;
}

const QStringList HeaderLines{"CN                   FILE FOR DELAVAL-VELMORIN COMMUNICATION",
                              "CN------------------",
                              "CN Sender information",
                              "CN      |sender    |data dic  |version   |data dic |version",
                              "DH9900010090000624000900009080009000020800090000908000900002080",
                              "VH990001 DeLaval AB Alpro/ISO   Alpro_DD  6.40  aa_Alpro  5.0   "};

inline QByteArray expectedRequest()
{
    QStringList lines = HeaderLines;
    lines
        << "CN------------------"
        << "CN      |cow       |bird      |bird      |COW_ID    |DAM_ID    |FATHER_ID |SEX       |ACTTAG    "
           "|B_TRANS   |HDX_TRA   |TRANS     |GROUP_NO  |CAL D     |LACT NO   |HEAT D    |INS D     "
           "|INSEMINAT.|PREGNANT  |PREG D    |DRY D     |ABORT D   |BUILD_UP  |SIRE NAME |MILK 1    "
           "|MILK 2    |MILK 3    |MILK 4    "
           "|M DUR 1   |M DUR 2   |M DUR 3   |M DUR 4   |M TIM 1   |M TIM 2   |M TIM 3   |M TIM 4   "
           "|REAL DATE |SLAUG FLG |MILK Y1   |MILK Y2   |MILK Y3   |MILK Y4   "
           "|M DUR Y1  |M DUR Y2  |M DUR Y3  |M DUR Y4  |M TIM Y1  |M TIM Y2  |M TIM Y3  |M TIM Y4  |"
        << "RN390006009000700600030003308000300033080003003481500030392415000303925150003"
           "03926010003002820500030000205000303930150003039311500030000303000300035080003"
           "00036020003000340800030035708000300037020003040580100035114108000300194080003"
           "03938080003040630100030037415000300130042003001330420030013604200300139042003"
           "00119060003001200600030012106000300122060003003660600030036706000300368060003"
           "00369060003085030800030001701000300142042003001450420030014804200300151042003"
           "00123060003001240600030012506000300126060003003700600030037106000300372060003"
           "00373060"
        << "ZN";
    return crlf(lines);
}

} // namespace
