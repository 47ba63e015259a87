// zavra-registry: the reference herd registry that the synchronisation library talks to.
#include "server.h"
#include "store.h"

#include <QJsonDocument>
#include <QMap>
#include <QStringList>

#include <cstdio>

namespace {

const char *const Usage =
    "usage:\n"
    "  zavra-registry serve --db FILE [--port N] [--bind 127.0.0.1] [--tls-cert F --tls-key F]\n"
    "                       [--delay-ms N] [--login-pause-ms N] [--fault 500|html|truncated]\n"
    "                       [--update-reply TEXT] [--update-dir DIR] [--announce] [--hold PATH]\n"
    "  zavra-registry add-farm --db FILE --cloud NUMBER\n"
    "  zavra-registry add-user --db FILE --cloud NUMBER --user NAME --password PW\n"
    "  zavra-registry record-insemination --db FILE --cloud NUMBER --animal LIFENUMBER --date YYYY-MM-DD\n"
    "                       [--ordinal N] [--bull CODE] [--bull-name NAME]\n"
    "  zavra-registry requests --db FILE\n"
    "  zavra-registry dump --db FILE --cloud NUMBER\n";

int fail(const QString &message)
{
    std::fprintf(stderr, "zavra-registry: %s\n", qPrintable(message));
    return 1;
}

int usage(const QString &message)
{
    std::fprintf(stderr, "zavra-registry: %s\n%s", qPrintable(message), Usage);
    return 2;
}

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
}

struct Command
{
    QString name;
    QMap<QString, QString> options;
    QString error;
};

Command parse(const QStringList &args, const QMap<QString, QStringList> &known)
{
    Command c;
    if (args.isEmpty()) {
        c.error = "no command";
        return c;
    }
    c.name = args.first();
    if (!known.contains(c.name)) {
        c.error = "unknown command " + c.name;
        return c;
    }
    for (int i = 1; i < args.size(); ++i) {
        const QString key = args.at(i);
        if (!key.startsWith("--") || !known.value(c.name).contains(key.mid(2))) {
            c.error = QString("%1: unknown option %2").arg(c.name, key);
            return c;
        }
        if (key == "--announce") { // the one option without a value
            c.options.insert(key.mid(2), QString());
            continue;
        }
        if (i + 1 >= args.size()) {
            c.error = QString("%1: %2 needs a value").arg(c.name, key);
            return c;
        }
        c.options.insert(key.mid(2), args.at(++i));
    }
    return c;
}

bool toInt(const QString &s, int &value)
{
    bool ok = false;
    value = s.toInt(&ok);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    const QMap<QString, QStringList> known{
        {"serve",
         {"db", "port", "bind", "tls-cert", "tls-key", "delay-ms", "fault", "update-reply", "update-dir",
          "login-pause-ms", "announce", "hold"}},
        {"add-farm", {"db", "cloud"}},
        {"add-user", {"db", "cloud", "user", "password"}},
        {"record-insemination", {"db", "cloud", "animal", "date", "ordinal", "bull", "bull-name"}},
        {"requests", {"db"}},
        {"dump", {"db", "cloud"}},
    };
    const QMap<QString, QStringList> required{
        {"serve", {"db"}},
        {"add-farm", {"db", "cloud"}},
        {"add-user", {"db", "cloud", "user", "password"}},
        {"record-insemination", {"db", "cloud", "animal", "date"}},
        {"requests", {"db"}},
        {"dump", {"db", "cloud"}},
    };
    const Command cmd = parse(args, known);
    if (!cmd.error.isEmpty())
        return usage(cmd.error);
    for (const QString &r : required.value(cmd.name)) {
        if (!cmd.options.contains(r))
            return usage(QString("%1: --%2 is required").arg(cmd.name, r));
    }
    const QMap<QString, QString> &o = cmd.options;

    if (cmd.name == "serve") {
        registry::ServeOptions s;
        s.db = o.value("db");
        if (o.contains("port") && (!toInt(o.value("port"), s.port) || s.port < 0 || s.port > 65535))
            return usage("serve: --port must be 0 to 65535");
        s.bind = o.value("bind", s.bind);
        s.tlsCert = o.value("tls-cert");
        s.tlsKey = o.value("tls-key");
        if (s.tlsCert.isEmpty() != s.tlsKey.isEmpty())
            return usage("serve: --tls-cert and --tls-key go together");
        if (o.contains("delay-ms") && (!toInt(o.value("delay-ms"), s.delayMs) || s.delayMs < 0))
            return usage("serve: --delay-ms must be a number of milliseconds");
        if (o.contains("login-pause-ms") &&
            (!toInt(o.value("login-pause-ms"), s.loginPauseMs) || s.loginPauseMs < 0))
            return usage("serve: --login-pause-ms must be a number of milliseconds");
        s.fault = o.value("fault");
        if (!s.fault.isEmpty() && s.fault != "500" && s.fault != "html" && s.fault != "truncated")
            return usage("serve: --fault must be 500, html or truncated");
        s.hasUpdateReply = o.contains("update-reply");
        s.updateReply = o.value("update-reply");
        s.updateDir = o.value("update-dir");
        s.announce = o.contains("announce");
        s.hold = o.value("hold");
        return registry::serve(s);
    }

    registry::Store store;
    QString error;
    if (!store.open(o.value("db"), error))
        return fail(QString("cannot open %1: %2").arg(o.value("db"), error));
    const QString cloud = o.value("cloud").trimmed();

    if (cmd.name == "add-farm") {
        if (cloud.isEmpty())
            return usage("add-farm: the cloud number is empty");
        bool created = false;
        if (!store.addFarm(cloud, created))
            return fail(store.lastError());
        printLine(QString("farm %1 %2").arg(cloud, created ? "added" : "exists").toUtf8());
        return 0;
    }
    if (cmd.name == "add-user") {
        switch (store.addUser(cloud, o.value("user"), o.value("password"))) {
        case registry::Store::UserResult::Added:
            printLine(QString("user %1 added to farm %2").arg(o.value("user"), cloud).toUtf8());
            return 0;
        case registry::Store::UserResult::Replaced:
            printLine(QString("user %1 of farm %2 replaced").arg(o.value("user"), cloud).toUtf8());
            return 0;
        case registry::Store::UserResult::UnknownFarm:
            return fail("unknown farm " + cloud);
        case registry::Store::UserResult::Failed:
            break;
        }
        return fail(store.lastError());
    }
    if (cmd.name == "record-insemination") {
        const qint64 farm = store.farmId(cloud);
        if (farm == 0)
            return fail("unknown farm " + cloud);
        const QDate date = QDate::fromString(o.value("date"), Qt::ISODate);
        if (!date.isValid())
            return usage("record-insemination: --date must be YYYY-MM-DD");
        QJsonValue ordinal;
        if (o.contains("ordinal")) {
            int n = 0;
            if (!toInt(o.value("ordinal"), n))
                return usage("record-insemination: --ordinal must be a number");
            ordinal = n;
        }
        if (!store.recordInsemination(farm, o.value("animal"), date, ordinal, o.value("bull"),
                                      o.value("bull-name")))
            return fail(store.lastError());
        printLine(QString("insemination of %1 on %2 recorded")
                      .arg(o.value("animal"), date.toString(Qt::ISODate))
                      .toUtf8());
        return 0;
    }
    if (cmd.name == "requests") {
        for (const QJsonObject &entry : store.requests())
            printLine(QJsonDocument(entry).toJson(QJsonDocument::Compact));
        return 0;
    }
    // dump
    const qint64 farm = store.farmId(cloud);
    if (farm == 0)
        return fail("unknown farm " + cloud);
    QJsonObject out = store.dump(farm);
    out.insert("cloud", cloud);
    std::fputs(QJsonDocument(out).toJson(QJsonDocument::Indented).constData(), stdout);
    return 0;
}
