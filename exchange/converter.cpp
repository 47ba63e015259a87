#include "exchange/converter.h"
#include "exchange/runaway.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>

namespace exchange {

#ifdef STABLOMAT_TEST_HOOKS
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
#else
ConverterLimits converterLimits()
{
    return ConverterLimits();
}
#endif

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

// A thread that runs one piece of work (QThread::create needs std::async, which MinGW's win32
// threads lack).
class WorkThread : public QThread
{
public:
    explicit WorkThread(const std::function<void()> &piece) : work(piece) {}

protected:
    void run() override { work(); }

private:
    const std::function<void()> &work;
};

bool runsEnded = false;

// The event loops that wait for converters and answers now, innermost last; all of them are left
// when the program ends.
std::vector<QEventLoop *> waits;

struct Waiting
{
    explicit Waiting(QEventLoop *loop) { waits.push_back(loop); }
    ~Waiting() { waits.pop_back(); }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
};

// answerPath, where the runner knows it, is removed when the converter did not finish: a converter
// ended in the middle of its answer leaves no half of one behind.
int runConverter(const QString &workDir, const QString &inputPath, const QString &text,
                 const QString &program, const QStringList &arguments, const QString &answerPath = QString())
{
    if (runsEnded)
        return -1;
    if (!exchange::writeConverterInput(inputPath, text))
        return -1;

    const exchange::ConverterLimits limits = exchange::converterLimits();
    const std::unique_ptr<QProcess> process = platform::newConverterProcess();
    const auto unfinished = [&] {
        platform::endConverterProcess(*process);
        if (!answerPath.isEmpty())
            QFile::remove(answerPath);
        return -1;
    };
    if (!platform::startConverter(*process, workDir, program, arguments, limits.startMs))
        return unfinished();

    // Waited for in an event loop: the window keeps painting and the program can be ended
    // meanwhile. The output is of no use; it is dropped as it comes.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QObject::connect(process.get(), &QProcess::readyReadStandardOutput, &loop,
                     [&] { process->readAllStandardOutput(); });
    QObject::connect(process.get(), &QProcess::readyReadStandardError, &loop,
                     [&] { process->readAllStandardError(); });
    if (process->state() != QProcess::NotRunning) {
        limit.start(limits.finishMs);
        const Waiting waiting(&loop);
        loop.exec();
    }
    if (process->state() != QProcess::NotRunning) {
        // Out of time, or the event loop was left because the program ends.
        if (limit.isActive())
            runsEnded = true;
        return unfinished();
    }
    process->readAllStandardOutput();
    process->readAllStandardError();
    return process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0 ? 0 : -1;
}

} // namespace

namespace exchange {

void endConverterRuns()
{
    runsEnded = true;
    for (QEventLoop *loop : waits)
        loop->quit();
}

bool converterRunsEnded()
{
    return runsEnded;
}

bool waitWithEvents(int ms)
{
    if (runsEnded)
        return false;
    if (!QCoreApplication::instance()) {
        QThread::msleep(static_cast<unsigned long>(qMax(0, ms)));
        return true;
    }
    QEventLoop loop;
    QTimer pause;
    pause.setSingleShot(true);
    pause.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pause, &QTimer::timeout, &loop, &QEventLoop::quit);
    pause.start(qMax(0, ms));
    const Waiting waiting(&loop);
    loop.exec();
    return !runsEnded;
}

bool runAwayFromEvents(const std::function<void()> &work)
{
    if (!QCoreApplication::instance()) {
        work();
        return !runsEnded;
    }
    QEventLoop loop;
    const auto thread = std::make_unique<WorkThread>(work);
    // Emitted on the work's thread: the loop hears of it through its own thread's events.
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    {
        const Waiting waiting(&loop);
        loop.exec();
    }
    // The loop is left early when the program ends; the work uses the caller's data until it ends.
    thread->wait();
    return !runsEnded;
}

} // namespace exchange

int runIsoConverter(const QString &dir, const QString &inputPath, const QString &text,
                    const QString &outputPath, const QString &options)
{
    QStringList arguments{QStringLiteral("-f"), QFileInfo(inputPath).fileName(), QStringLiteral("-o"),
                          QFileInfo(outputPath).fileName()};
    arguments += options.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    return runConverter(dir, inputPath, text, QStringLiteral("iso32.exe"), arguments, outputPath);
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
