#include "exchange/runaway.h"

#include <QFile>

namespace exchange {

std::optional<AnswerLines> answerLinesAway(const QString &path)
{
    QFile answer;
    if (!openAnswer(answer, path))
        return std::nullopt;
    // The QFile belongs to this thread: the work reads through a QFile of its own on the same
    // handle, which stays open until this returns.
    const int handle = answer.handle();
    std::optional<std::optional<AnswerLines>> lines = runAway([handle] {
        QFile own;
        if (!own.open(handle, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            return std::optional<AnswerLines>();
        return std::optional<AnswerLines>(AnswerLines(own));
    });
    return lines ? std::move(*lines) : std::nullopt;
}

} // namespace exchange
