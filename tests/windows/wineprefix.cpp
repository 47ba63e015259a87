#include "wineprefix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

WinePrefix::WinePrefix()
{
    const QString script = QStringLiteral(WINE_PREFIX_SCRIPT);
    QProcess make;
    make.start(QStringLiteral("bash"),
               {script, QStringLiteral("new"), qEnvironmentVariable("WINE_TEMPLATE"), path()});
    valid = dir.isValid() && !qEnvironmentVariableIsEmpty("WINE_TEMPLATE") && make.waitForFinished(300000) &&
            make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0;
}

WinePrefix::~WinePrefix()
{
    QProcess end;
    end.setProcessEnvironment(environment());
    end.start(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    end.waitForFinished(30000);
    QProcess wait;
    wait.setProcessEnvironment(environment());
    wait.start(QStringLiteral("wineserver"), {QStringLiteral("-w")});
    wait.waitForFinished(30000);
}

QString WinePrefix::local(const QString &windowsPath) const
{
    // Each component matched to an existing entry without regard to case, as Wine does ("StartUp").
    QString local = path() + QStringLiteral("/drive_c");
    const QStringList parts =
        windowsPath.mid(2).split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QStringList entries =
            QDir(local).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        QString name = part;
        for (const QString &entry : entries) {
            if (entry.compare(part, Qt::CaseInsensitive) == 0)
                name = entry;
        }
        local += QLatin1Char('/') + name;
    }
    return local;
}

QProcessEnvironment WinePrefix::environment(const QStringList &extra) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WINEPREFIX"), path());
    env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // No Mono or Gecko installer dialogs.
    env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    for (const QString &e : extra)
        env.insert(e.section(QLatin1Char('='), 0, 0), e.section(QLatin1Char('='), 1));
    return env;
}

std::unique_ptr<QProcess> WinePrefix::start(const QString &program, const QStringList &arguments,
                                            const QStringList &environment) const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(this->environment(environment));
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral("wine"), QStringList{program} + arguments);
    process->waitForStarted(30000);
    return process;
}

int WinePrefix::wine(const QStringList &arguments, QByteArray *output, int timeoutMs) const
{
    QProcess p;
    p.setProcessEnvironment(environment());
    p.start(QStringLiteral("wine"), arguments);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return -1;
    }
    if (output)
        *output = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString WinePrefix::regValue(const QString &key, const QString &name) const
{
    QByteArray out;
    if (wine({QStringLiteral("reg"), QStringLiteral("query"), key, QStringLiteral("/v"), name}, &out) != 0)
        return QString();
    // "    uuid    REG_SZ    {...}"
    const QRegularExpression line(
        QStringLiteral("^\\s*%1\\s+REG_\\w+\\s+(.*?)\\s*$").arg(QRegularExpression::escape(name)),
        QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = line.match(QString::fromUtf8(out));
    return m.hasMatch() ? m.captured(1) : QString();
}

bool WinePrefix::regImport(const QString &text) const
{
    const QString file = dir.filePath(QStringLiteral("import.reg"));
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(text.toUtf8());
    f.close();
    return wine({QStringLiteral("reg"), QStringLiteral("import"), QStringLiteral("Z:") + file}) == 0;
}

bool WinePrefix::running(const QString &imageName) const
{
    const QByteArray prefixEntry = "WINEPREFIX=" + QFile::encodeName(path());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile environ(QStringLiteral("/proc/") + entry + QStringLiteral("/environ"));
        QFile cmdline(QStringLiteral("/proc/") + entry + QStringLiteral("/cmdline"));
        if (entry.toLongLong() <= 0 || !environ.open(QIODevice::ReadOnly) ||
            !cmdline.open(QIODevice::ReadOnly))
            continue;
        if (!environ.readAll().split('\0').contains(prefixEntry))
            continue;
        // Wine's processes show their Windows command line as argv[0]: the image's path, or the
        // name it was started by, then the arguments.
        QString image = QString::fromUtf8(cmdline.readAll().split('\0').value(0)).remove(QLatin1Char('"'));
        const int exe = image.indexOf(QLatin1String(".exe"), 0, Qt::CaseInsensitive);
        image =
            exe >= 0 ? image.left(exe + 4) : image.section(QLatin1Char(' '), 0, 0) + QLatin1String(".exe");
        if (image.section(QLatin1Char('\\'), -1)
                .section(QLatin1Char('/'), -1)
                .compare(imageName, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList windowsNamed(const QString &pattern)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), pattern});
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool xdotool(const QStringList &arguments)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), arguments);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
