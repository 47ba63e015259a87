// herdmetrix-seed --database FILE --herd FILE|- [--root DIR]
//
// Creates a HerdMetrix stand-in database on the local Firebird server from a herd file ("-": the
// herd on standard input), replacing the file if it exists. Directories from DIR down to the
// database get search permission for the server.
#include "herdmetrix.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("herdmetrix-seed"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Creates a HerdMetrix database from a herd file."));
    parser.addHelpOption();
    const QCommandLineOption databaseOption(QStringLiteral("database"), QStringLiteral("Database file."),
                                            QStringLiteral("FILE"));
    const QCommandLineOption herdOption(
        QStringLiteral("herd"), QStringLiteral("Herd file, - for standard input."), QStringLiteral("FILE"));
    const QCommandLineOption rootOption(QStringLiteral("root"),
                                        QStringLiteral("Open the directories below DIR to the server."),
                                        QStringLiteral("DIR"));
    parser.addOptions({databaseOption, herdOption, rootOption});
    parser.process(app);
    if (parser.value(databaseOption).isEmpty() || parser.value(herdOption).isEmpty()) {
        err << "herdmetrix-seed: --database FILE and --herd FILE are required\n";
        return 2;
    }

    herd::Herd herd;
    QString error;
    bool loaded = false;
    if (parser.value(herdOption) == QLatin1String("-")) {
        QFile in;
        loaded = in.open(stdin, QIODevice::ReadOnly) && herd.fromJson(in.readAll(), &error);
    } else {
        loaded = herd.load(parser.value(herdOption), &error);
    }
    if (!loaded) {
        err << "herdmetrix-seed: " << error << "\n";
        return 1;
    }

    QElapsedTimer timer;
    timer.start();
    herdmetrix::SeedCounts counts;
    if (!herdmetrix::layOut(parser.value(databaseOption), parser.value(rootOption), herd, &counts, &error)) {
        err << "herdmetrix-seed: " << error << "\n";
        return 1;
    }
    out << counts.cows << " cows, " << counts.bulls << " bulls, " << counts.events << " events, "
        << counts.lactations << " lactations in " << timer.elapsed() << " ms\n";
    return 0;
}
