// Long pieces of an exchange run done away from the window's thread, which turns its event loop
// meanwhile: the window paints, the progress dialog stays, "&Ukončit" is heard, and a second
// exchange is refused by the run guard as during the wait for a converter.
#pragma once

#include "exchange/answerfile.h"

#include <QString>

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace exchange {

// Runs work on a thread of its own and lets events run on the caller's thread until it has ended.
// False when converter runs ended meanwhile (the program ends); the work has ended even then.
bool runAwayFromEvents(const std::function<void()> &work);

// work() computed on a thread of its own; nothing when the program ends meanwhile (the run then
// gives up like one whose converter wait was ended). The work may touch only data that the caller
// keeps alive and leaves alone until this returns: no QObject of the caller's thread (no QFile, no
// window, no settings, no network manager), no database connection.
template <class Work> auto runAway(Work work) -> std::optional<std::invoke_result_t<Work &>>
{
    std::optional<std::invoke_result_t<Work &>> result;
    if (!runAwayFromEvents([&] { result.emplace(work()); }))
        result.reset();
    return result;
}

// The lines of the answer at path: waited for as openAnswer() waits, then read on a thread of its
// own. Nothing when no answer came or the program ends meanwhile.
std::optional<AnswerLines> answerLinesAway(const QString &path);

} // namespace exchange
