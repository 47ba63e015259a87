// herd-generator --cows N [--seed S] [--today YYYY-MM-DD] [--long-numbers] [--milking-days D] --out FILE
#include "generator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("herd-generator"));
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Makes a herd file with lifelike cow histories."));
    parser.addHelpOption();
    const QCommandLineOption cowsOption(QStringLiteral("cows"), QStringLiteral("Number of cows."),
                                        QStringLiteral("N"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed; the same seed gives the same herd."),
                                        QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption todayOption(QStringLiteral("today"),
                                         QStringLiteral("Reference day (default: the current date)."),
                                         QStringLiteral("YYYY-MM-DD"));
    const QCommandLineOption longOption(
        QStringLiteral("long-numbers"),
        QStringLiteral("Give a few cows registration numbers of nine significant digits."));
    const QCommandLineOption daysOption(QStringLiteral("milking-days"),
                                        QStringLiteral("Days with milkings, ending on the reference day."),
                                        QStringLiteral("D"), QStringLiteral("3"));
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Herd file to write."),
                                       QStringLiteral("FILE"));
    parser.addOptions({cowsOption, seedOption, todayOption, longOption, daysOption, outOption});
    parser.process(app);

    bool ok = false;
    herd::GeneratorOptions options;
    options.cows = parser.value(cowsOption).toInt(&ok);
    if (!parser.isSet(cowsOption) || !ok || options.cows < 0) {
        err << "herd-generator: --cows N is required (N >= 0)\n";
        return 2;
    }
    options.seed = parser.value(seedOption).toUInt(&ok);
    if (!ok) {
        err << "herd-generator: --seed must be a whole number\n";
        return 2;
    }
    if (parser.isSet(todayOption)) {
        options.today = QDate::fromString(parser.value(todayOption), Qt::ISODate);
        if (!options.today.isValid()) {
            err << "herd-generator: --today must be a date YYYY-MM-DD\n";
            return 2;
        }
    }
    options.longNumbers = parser.isSet(longOption);
    options.milkingDays = parser.value(daysOption).toInt(&ok);
    if (!ok || options.milkingDays < 0 || options.milkingDays > 60) {
        err << "herd-generator: --milking-days must be 0 to 60\n";
        return 2;
    }
    if (!parser.isSet(outOption) || parser.value(outOption).isEmpty()) {
        err << "herd-generator: --out FILE is required\n";
        return 2;
    }

    QElapsedTimer timer;
    timer.start();
    const herd::Herd herd = herd::generateHerd(options);
    QString error;
    if (!herd.save(parser.value(outOption), &error)) {
        err << "herd-generator: " << error << "\n";
        return 1;
    }
    err << "herd-generator: " << herd.cows.size() << " cows, " << herd.bulls.size() << " bulls in "
        << timer.elapsed() << " ms\n";
    return 0;
}
