#include "exchange/answerfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextCodec>
#include <QThread>

#include <cstring>

namespace exchange {

namespace {

AnswerWait currentWait;

} // namespace

AnswerWait answerWait()
{
    return currentWait;
}

void setAnswerWait(const AnswerWait &wait)
{
    currentWait = wait;
}

bool openAnswer(QFile &file, const QString &path)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    const AnswerWait wait = currentWait;
    for (int attempt = 0; attempt < qMax(1, wait.attempts); ++attempt) {
        if (attempt > 0) {
            QThread::msleep(static_cast<unsigned long>(qMax(0, wait.delayMs)));
            if (QCoreApplication::instance())
                QCoreApplication::processEvents();
        }
        if (file.open(QIODevice::ReadOnly)) {
            if (file.size() <= MaxAnswerBytes)
                return true;
            file.close();
            return false;
        }
    }
    return false;
}

QStringList readAnswerLines(QIODevice &device, QTextCodec *codec)
{
    if (!codec)
        codec = QTextCodec::codecForLocale();
    QStringList lines;
    QByteArray pending;
    bool overlong = false;
    char buffer[16 * 1024];
    qint64 total = 0;

    const auto finish = [&]() {
        if (!overlong && !pending.contains('\0')) {
            int end = pending.size();
            while (end > 0 && pending.at(end - 1) == '\r')
                --end;
            int first = 0;
            while (first < end && (pending.at(first) == ' ' || pending.at(first) == '\t'))
                ++first;
            if (first < end)
                lines.append(codec->toUnicode(pending.constData(), end));
        }
        pending.clear();
        overlong = false;
    };

    for (;;) {
        const qint64 n = device.read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        // A file that grew past the limit while it was read is no answer either.
        total += n;
        if (total > MaxAnswerBytes)
            return QStringList();
        qint64 start = 0;
        while (start < n) {
            const char *nl = static_cast<const char *>(std::memchr(buffer + start, '\n', size_t(n - start)));
            const qint64 stop = nl ? nl - buffer : n;
            if (!overlong) {
                if (pending.size() + (stop - start) > MaxAnswerLineBytes) {
                    overlong = true;
                    pending.clear();
                } else {
                    pending.append(buffer + start, int(stop - start));
                }
            }
            if (!nl)
                break;
            finish();
            start = stop + 1;
        }
    }
    // A last line without a line end.
    if (overlong || !pending.isEmpty())
        finish();
    return lines;
}

} // namespace exchange
