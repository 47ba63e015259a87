// Stand-in for a milking system's converter, used by the runner tests.
//
// Beside the executable: "fakeconverter.mode" chooses the behaviour ("answer" when absent,
// "fail": exit 3 at once, "hang": never finish); "fakeconverter.record" receives the working
// directory, the arguments, the process id and the input file's bytes (hex). The answer holds one
// value line "VN999999" with the number of input lines in 6 characters.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

namespace {

QString valueAfter(const QStringList &args, const QString &option)
{
    const int i = args.indexOf(option);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString home = QCoreApplication::applicationDirPath();
    const QStringList args = QCoreApplication::arguments().mid(1);

    QFile modeFile(home + QStringLiteral("/fakeconverter.mode"));
    const QString mode =
        modeFile.open(QIODevice::ReadOnly) ? QString::fromUtf8(modeFile.readAll()).trimmed() : QString();

    QString input = valueAfter(args, QStringLiteral("-f"));
    if (input.isEmpty())
        input = valueAfter(args, QStringLiteral("-E"));
    if (input.isEmpty())
        input = QStringLiteral("tau_ms.2");
    QFile in(input);
    const QByteArray request = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();

    QFile record(home + QStringLiteral("/fakeconverter.record"));
    if (!record.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 2;
    QByteArray text = "cwd=" + QDir::currentPath().toUtf8() + "\n";
    for (const QString &a : args)
        text += "arg=" + a.toUtf8() + "\n";
    text += "pid=" + QByteArray::number(QCoreApplication::applicationPid()) + "\n";
    text += "input=" + request.toHex() + "\n";
    record.write(text);
    record.close();

    if (mode == QLatin1String("fail"))
        return 3;
    if (mode == QLatin1String("hang")) {
        QThread::sleep(600);
        return 0;
    }

    QString answer = valueAfter(args, QStringLiteral("-o"));
    if (answer.isEmpty()) {
        for (const QByteArray &line : request.split('\n')) {
            if (line.startsWith("ON "))
                answer = QFileInfo(input).absolutePath() + QLatin1Char('/') +
                         QString::fromUtf8(line.mid(3)).trimmed();
        }
    }
    if (answer.isEmpty())
        answer = QStringLiteral("TAU_PRC.2");
    QFile out(answer);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 4;
    out.write("CN fake answer\r\nVN999999" + QByteArray::number(request.count('\n')).rightJustified(6) +
              "\r\n");
    return 0;
}
