#include "exchange/converter.h"

#include "app/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <memory>

namespace exchange {

namespace {

ConverterLimits currentLimits;

} // namespace

ConverterLimits converterLimits()
{
    return currentLimits;
}

void setConverterLimits(const ConverterLimits &limits)
{
    currentLimits = limits;
}

bool writeConverterInput(const QString &path, const QString &text)
{
    // Gone first: a failed write must not leave the previous request for the converter.
    if (QFileInfo(path).isSymLink() || QFileInfo::exists(path))
        QFile::remove(path);

    QString crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\n') && (i == 0 || text.at(i - 1) != QLatin1Char('\r')))
            crlf += QLatin1Char('\r');
        crlf += c;
    }
    const QByteArray bytes = crlf.toUtf8();

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        QFile::remove(path);
        return false;
    }
    return true;
}

} // namespace exchange

namespace {

int runConverter(const QString &workDir, const QString &inputPath, const QString &text,
                 const QString &program, const QStringList &arguments)
{
    if (!exchange::writeConverterInput(inputPath, text))
        return -1;

    const exchange::ConverterLimits limits = exchange::converterLimits();
    const platform::ConverterShell shell = platform::converterShell();
    const std::unique_ptr<QProcess> process = platform::newConverterProcess();
    process->start(shell.program, shell.arguments, QIODevice::ReadWrite);
    if (!process->waitForStarted(limits.startMs)) {
        platform::endConverterProcess(*process);
        return -1;
    }
    if (shell.printsBanner)
        process->waitForReadyRead(limits.bannerMs);

    process->write(platform::converterShellInput(workDir, platform::converterCommand(program, arguments)));
    process->closeWriteChannel();

    if (!process->waitForFinished(limits.finishMs)) {
        platform::endConverterProcess(*process);
        return -1;
    }
    process->readAllStandardOutput();
    process->readAllStandardError();
    return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0 ? 0 : -1;
}

} // namespace

int runIsoConverter(const QString &dir, const QString &inputPath, const QString &text,
                    const QString &outputPath, const QString &options)
{
    QStringList arguments{QStringLiteral("-f"), QFileInfo(inputPath).fileName(), QStringLiteral("-o"),
                          QFileInfo(outputPath).fileName()};
    arguments += options.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    return runConverter(dir, inputPath, text, QStringLiteral("iso32.exe"), arguments);
}

int runDairyPlanConverter(const QString &dir, const QString &filePath, const QString &text)
{
    return runConverter(dir, filePath, text, QStringLiteral("dpdataexchange.exe"),
                        {QStringLiteral("-T"), QStringLiteral("-A"), QStringLiteral("-E"), filePath});
}

int runTauConverter(const QString &programPath, const QString &filePath, const QString &text)
{
    const QFileInfo program(programPath);
    return runConverter(program.absolutePath() + QLatin1Char('/'), filePath, text, program.fileName(), {});
}
