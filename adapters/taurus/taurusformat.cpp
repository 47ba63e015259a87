#include "adapters/taurus/taurusformat.h"

namespace taurus {

namespace {

QString title(System system, const char *what)
{
    return adis::comment(
        QStringLiteral(" ***** Velmorin - %1, %2")
            .arg(system == System::Lely ? QStringLiteral("Lely") : QStringLiteral("Fullwood"),
                 QString::fromUtf8(what)));
}

} // namespace

QString requestFileName()
{
    return QStringLiteral("tau_ms.2");
}

QString answerFileName()
{
    return QStringLiteral("TAU_PRC.2");
}

QString insCopyFileName()
{
    return QStringLiteral("tau_ms_ins.txt");
}

QString fileNamePattern()
{
    return QStringLiteral("*.2");
}

const adis::Entity &senderHeader()
{
    static const adis::Entity table("201861", {{"00000000", 8, 0},
                                               {"00201575", 8, 0},
                                               {"00201576", 6, 0},
                                               {"00201681", 24, 0},
                                               {"00201684", 8, 0},
                                               {"00201685", 8, 0}});
    return table;
}

QString senderValues()
{
    return adis::ValueLine(senderHeader(), true)
        .text(QStringLiteral("DD"))
        .text(QStringLiteral("20170704"))
        .text(QStringLiteral("142855"))
        .text(QStringLiteral("Agis TFS 6.1.641"))
        .text(QStringLiteral("6.1.641"))
        .text(QStringLiteral("STK 2.0"))
        .toString();
}

const adis::Entity &generalCow()
{
    static const adis::Entity table("201863", {{"00201896", 6, 0},
                                               {"00201812", 15, 0},
                                               {"00200064", 2, 0},
                                               {"00201695", 8, 0},
                                               {"00200042", 8, 0},
                                               {"00200050", 8, 0},
                                               {"00200513", 8, 0},
                                               {"00201743", 8, 0},
                                               {"00900085", 1, 0},
                                               {"00900059", 8, 0},
                                               {"00202461", 15, 0},
                                               {"00989217", 15, 0},
                                               {"00900058", 2, 0}});
    return table;
}

const adis::Entity &generalCowRequest(System system)
{
    static const adis::Entity fullwood("201863", generalCow().items().mid(0, item::PregnancyCheckDate + 1));
    return system == System::Lely ? generalCow() : fullwood;
}

const adis::Entity &evidence()
{
    static const adis::Entity table("201863", {{"00201896", 6, 0, " cow id"}, {"00200050", 8, 0, " insem"}});
    return table;
}

QString reproductionRequestText(System system)
{
    return adis::fileText({
        // A constant, not the current date.
        adis::comment(QString::fromUtf8(" ***** čt čvc 2 09:12:28 2020")),
        adis::comment(QStringLiteral(" *****")),
        title(system, "reprodukce"),
        adis::comment(QStringLiteral(" *****")),
        senderHeader().headerDefinition(),
        senderValues(),
        adis::comment(QStringLiteral(" *****")),
        generalCowRequest(system).request(),
        QStringLiteral("EN"),
        QStringLiteral("ZN"),
    });
}

QString writeBackLine(const QString &cowId, const QDate &date)
{
    adis::ValueLine line(evidence());
    line.code(cowId);
    if (date.isValid())
        return line.date(date).toString();
    // The date item is left out altogether, not filled with "?".
    QString text = line.toString();
    text.chop(evidence().width(1));
    return text;
}

QString writeBackRequestText(const QDateTime &now, const QStringList &lines)
{
    QStringList all{
        adis::comment(QStringLiteral(" ***** ") + now.toString(Qt::TextDate)),
        adis::comment(QStringLiteral(" *****")),
        title(System::Fullwood, "evidence"),
        adis::comment(QStringLiteral(" *****")),
        senderHeader().headerDefinition(),
        senderValues(),
        adis::comment(QStringLiteral(" ") + QString(53, QLatin1Char('-'))),
        adis::comment(QStringLiteral(" ***** 201863 - general cow")),
        evidence().captionLine(true),
        evidence().definition(),
    };
    all << lines << QStringLiteral("TN") << QStringLiteral("ZN");
    return adis::fileText(all);
}

} // namespace taurus
