// farm-tool --system NAME --herd FILE --wineprefix DIR [--simulators DIR] [--link] [--rebase-today]
//
// Lays out a fake drive C under DIR/drive_c with a milking system's stand-in where the real
// system installs its program, and the herd file beside it, so the program detects that system
// and exchanges with it.
#include "herd.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>

namespace {

struct Placement
{
    enum Kind
    {
        Simulator, // a stand-in executable from the simulators directory
        HerdFile,  // the herd file
        Marker,    // an empty file that only has to exist
        Directory, // an empty directory
        Database,  // a database made from the herd by the simulator named (run with --database, --herd -)
    };
    Kind kind;
    const char *windowsPath;
    const char *simulator; // file name in the simulators directory (Simulator and Database)
};

struct SystemLayout
{
    const char *name;
    const char *label;
    QVector<Placement> placements;
};

// One entry per milking system, in the order in which the program probes them.
const QVector<SystemLayout> &layouts()
{
    static const QVector<SystemLayout> all{
        {"alpro",
         "DeLaval Alpro",
         {{Placement::Simulator, "c:/alpro/iso32.exe", "iso32.exe"},
          {Placement::HerdFile, "c:/alpro/herd.json", nullptr}}},
        {"delpro",
         "DeLaval DelPro",
         {{Placement::Simulator, "c:/delpro/iso/iso32.exe", "iso32.exe"},
          {Placement::HerdFile, "c:/delpro/iso/herd.json", nullptr}}},
        // Lely is found through the DairyPlan path with a "1" appended, not through its own program.
        {"lely",
         "Lely (Taurus)",
         {{Placement::Marker, "c:/DairyPln/dpdataexchange.exe1", nullptr},
          {Placement::Simulator, "c:/taurus/taurus2.exe", "taurus2.exe"},
          {Placement::HerdFile, "c:/taurus/herd.json", nullptr}}},
        {"fullwood",
         "Fullwood Crystal (Taurus)",
         {{Placement::Simulator, "c:/Fusion/Exchange/taurus/taupro2.exe", "taupro2.exe"},
          {Placement::HerdFile, "c:/Fusion/Exchange/taurus/herd.json", nullptr}}},
        {"dairyplan",
         "Westfalia DairyPlan",
         {{Placement::Simulator, "c:/DairyPln/dpdataexchange.exe", "dpdataexchange.exe"},
          {Placement::HerdFile, "c:/DairyPln/herd.json", nullptr}}},
        {"afikim",
         "Afikim AfiFarm",
         {{Placement::Simulator, "c:/afifarm/program/afifarm.exe", "afifarm.exe"},
          {Placement::HerdFile, "c:/afifarm/program/herd.json", nullptr},
          {Placement::Directory, "c:/afifarm/savefile", nullptr},
          {Placement::Directory, "c:/afifarm/DATA/MS", nullptr}}},
        {"uniform",
         "Uniform HerdMetrix",
         {{Placement::Marker, "c:/Program Files/UNIFORM/uniform.exe", nullptr},
          {Placement::Database, "c:/Users/Public/Documents/UNIFORM/Stablomat[1]/stablomat.fdb",
           "herdmetrix-seed"}}},
    };
    return all;
}

QString localPath(const QString &winePrefix, const QString &windowsPath)
{
    QString rest = windowsPath.mid(2);
    rest.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(winePrefix + QStringLiteral("/drive_c/") + rest);
}

QStringList systemNames()
{
    QStringList names;
    for (const SystemLayout &l : layouts())
        names << QString::fromLatin1(l.name);
    return names;
}

bool replaceWith(const QString &source, const QString &target, bool link, QString *error)
{
    const QFileInfo existing(target);
    if ((existing.exists() || existing.isSymLink()) && !QFile::remove(target)) {
        *error = QStringLiteral("cannot replace %1").arg(target);
        return false;
    }
    if (link) {
        if (!QFile::link(QFileInfo(source).absoluteFilePath(), target)) {
            *error = QStringLiteral("cannot link %1 to %2").arg(target, source);
            return false;
        }
        return true;
    }
    if (!QFile::copy(source, target)) {
        *error = QStringLiteral("cannot copy %1 to %2").arg(source, target);
        return false;
    }
    QFile::setPermissions(target, QFile::permissions(source) | QFileDevice::ExeOwner |
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool runSeeder(const QString &seeder, const QString &target, const QString &prefix, const herd::Herd &herd,
               QString *error)
{
    QProcess p;
    p.start(seeder, {QStringLiteral("--database"), target, QStringLiteral("--herd"), QStringLiteral("-"),
                     QStringLiteral("--root"), prefix});
    if (!p.waitForStarted(10000)) {
        *error = QStringLiteral("cannot run %1").arg(seeder);
        return false;
    }
    p.write(herd.toJson());
    p.closeWriteChannel();
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        if (error->isEmpty())
            *error = QStringLiteral("%1 failed").arg(seeder);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("farm-tool"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Lays out a fake drive C for a milking system."));
    parser.addHelpOption();
    const QCommandLineOption systemOption(QStringLiteral("system"),
                                          QStringLiteral("Milking system: %1.").arg(systemNames().join(", ")),
                                          QStringLiteral("NAME"));
    const QCommandLineOption herdOption(QStringLiteral("herd"), QStringLiteral("Herd file."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption prefixOption(QStringLiteral("wineprefix"),
                                          QStringLiteral("Directory that receives drive_c."),
                                          QStringLiteral("DIR"));
    const QCommandLineOption simulatorsOption(
        QStringLiteral("simulators"),
        QStringLiteral("Directory of the stand-in executables (default: beside this tool)."),
        QStringLiteral("DIR"));
    const QCommandLineOption linkOption(QStringLiteral("link"),
                                        QStringLiteral("Link the stand-ins instead of copying them."));
    const QCommandLineOption rebaseOption(
        QStringLiteral("rebase-today"),
        QStringLiteral("Move every date of the herd so that its reference day is today."));
    parser.addOptions({systemOption, herdOption, prefixOption, simulatorsOption, linkOption, rebaseOption});
    parser.process(app);

    const SystemLayout *layout = nullptr;
    for (const SystemLayout &l : layouts()) {
        if (parser.value(systemOption) == QLatin1String(l.name))
            layout = &l;
    }
    if (!layout) {
        err << "farm-tool: --system must be one of " << systemNames().join(", ") << "\n";
        return 2;
    }
    if (parser.value(herdOption).isEmpty() || parser.value(prefixOption).isEmpty()) {
        err << "farm-tool: --herd FILE and --wineprefix DIR are required\n";
        return 2;
    }
    const QString prefix = QFileInfo(parser.value(prefixOption)).absoluteFilePath();
    const QString simulators = parser.isSet(simulatorsOption) ? parser.value(simulatorsOption)
                                                              : QCoreApplication::applicationDirPath();

    herd::Herd herd;
    QString error;
    if (!herd.load(parser.value(herdOption), &error)) {
        err << "farm-tool: " << error << "\n";
        return 1;
    }
    if (parser.isSet(rebaseOption) && herd.referenceDay.isValid())
        herd.shiftDays(static_cast<int>(herd.referenceDay.daysTo(QDate::currentDate())));

    // Everything the layout needs is checked before anything is written.
    for (const Placement &p : layout->placements) {
        if ((p.kind == Placement::Simulator || p.kind == Placement::Database) &&
            !QFileInfo(simulators + QLatin1Char('/') + p.simulator).isFile()) {
            err << "farm-tool: no " << p.simulator << " in " << simulators << "\n";
            return 1;
        }
    }

    for (const Placement &p : layout->placements) {
        const QString target = localPath(prefix, QString::fromLatin1(p.windowsPath));
        const QString dir = p.kind == Placement::Directory ? target : QFileInfo(target).absolutePath();
        if (!QDir().mkpath(dir)) {
            err << "farm-tool: cannot create " << dir << "\n";
            return 1;
        }
        bool ok = true;
        switch (p.kind) {
        case Placement::Simulator:
            ok = replaceWith(simulators + QLatin1Char('/') + p.simulator, target, parser.isSet(linkOption),
                             &error);
            break;
        case Placement::HerdFile:
            ok = herd.save(target, &error);
            break;
        case Placement::Marker: {
            QFile marker(target);
            ok = marker.open(QIODevice::WriteOnly | QIODevice::Append);
            if (!ok)
                error = QStringLiteral("cannot create %1").arg(target);
            break;
        }
        case Placement::Directory:
            break;
        case Placement::Database:
            ok = runSeeder(simulators + QLatin1Char('/') + p.simulator, target, prefix, herd, &error);
            break;
        }
        if (!ok) {
            err << "farm-tool: " << error << "\n";
            return 1;
        }
        out << p.windowsPath << " -> " << target << "\n";
    }

    // The program takes the first system it finds: say so when another one is laid out too.
    for (const SystemLayout &other : layouts()) {
        if (&other == layout)
            continue;
        for (const Placement &p : other.placements) {
            if (p.kind == Placement::Simulator &&
                QFileInfo::exists(localPath(prefix, QString::fromLatin1(p.windowsPath))))
                err << "farm-tool: note: " << other.label << " is laid out here too (" << p.windowsPath
                    << ")\n";
        }
    }
    out << layout->label << " with " << herd.cows.size()
        << " cows; run the program with WINEPREFIX=" << prefix << "\n";
    return 0;
}
