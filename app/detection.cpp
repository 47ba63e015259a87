#include "app/detection.h"

#include "app/mainwindow.h"
#include "platform/platform.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFileSystemWatcher>

static bool probe(const QString &windowsPath)
{
    return QFileInfo::exists(platform::localPath(windowsPath));
}

static QString tr(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}

static MilkingSystem recognised(int code, const QString &path, const char *label)
{
    MilkingSystem s;
    s.code = code;
    s.programPath = path;
    s.label = tr(label);
    s.yieldFileName = QStringLiteral("mleko.csv");
    return s;
}

static MilkingSystem notRecognised()
{
    MilkingSystem s;
    s.label = tr("Nebyl rozpoznán dojírenský systém.");
    return s;
}

// The first "*.fdb" below the HerdMetrix documents whose path contains "[", in Windows form.
static QString findHerdMetrixDatabase()
{
    const QString root = QStringLiteral("c:/Users/Public/Documents/UNIFORM/");
    const QString localRoot = platform::localPath(root);
    QDirIterator it(localRoot, {QStringLiteral("*.fdb"), QStringLiteral("*.FDB")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString local = it.next();
        // Judged on the path as it reads on Windows, whatever the local prefix holds.
        const QString windowsForm = root + QDir(localRoot).relativeFilePath(local);
        if (windowsForm.contains(QLatin1Char('[')))
            return windowsForm;
    }
    return QString();
}

MilkingSystem probeMilkingSystem()
{
    struct Converter
    {
        int code;
        const char *probe;
        const char *path;
        const char *label;
    };
    static const Converter converters[] = {
        {1, "c:/alpro/iso32.exe", "c:/alpro/iso32.exe", "Delaval - Alpro"},
        {2, "c:/delpro/iso/iso32.exe", "c:/delpro/iso/iso32.exe", "Delaval - Delpro"},
        {3, "c:/DairyPln/dpdataexchange.exe", "c:/DairyPln/dpdataexchange.exe", "Westfalia - Dairyplan"},
        {4, "c:/DairyPln/dpdataexchange.exe1", "c:/taurus/taurus2.exe", "Taurus - Lely"},
    };
    for (const Converter &c : converters) {
        if (probe(QString::fromLatin1(c.probe)))
            return recognised(c.code, QString::fromLatin1(c.path), c.label);
    }

    if (probe(QStringLiteral("c:/afifarm/program/afifarm.exe"))) {
        MilkingSystem s =
            recognised(5, QStringLiteral("c:/afifarm"), "Afikim - datová výměna se spouští v Afifarmu");
        s.exchangeButton = false;
        s.watchedDirectory = s.programPath + QStringLiteral("/savefile");
        return s;
    }

    if (probe(QStringLiteral("c:/Program Files/UNIFORM/uniform.exe"))) {
        const QString database = findHerdMetrixDatabase();
        if (database.isEmpty())
            return notRecognised();
        return recognised(6, database, "Uniform - HerdMetrix");
    }

    if (probe(QStringLiteral("c:/Fusion/Exchange/taurus/taupro2.exe")))
        return recognised(7, QStringLiteral("c:/Fusion/Exchange/taurus/taupro2.exe"), "Fullwood - Crystal");
    return notRecognised();
}

void MainWindow::detectMilkingSystem()
{
    const MilkingSystem s = probeMilkingSystem();
    dsystem = s.code;
    programPath = s.programPath;
    yieldFileName = s.yieldFileName;
    ui->label->setText(s.label);
    ui->exchange->setVisible(s.exchangeButton);
    if (!s.watchedDirectory.isEmpty()) {
        afifarmDirectory = platform::localPath(s.watchedDirectory);
        watchAfifarm();
    }
}
