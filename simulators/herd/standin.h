// What every converter stand-in does the same way: its error stream, its settings from the
// environment, and the lines of the file it was given.
#pragma once

#include <QStringList>
#include <QTextStream>

namespace standin {

QTextStream &err();
// The variable as a whole number; `fallback` when it is unset or not a number.
int envInt(const char *name, int fallback);
// The lines of UTF-8 bytes (NUL bytes included) without their line ends; the last empty one dropped.
QStringList splitLines(const QByteArray &bytes);
// The file's lines as UTF-8 without their line ends; the last empty one dropped. On failure `error`
// says why and the list is empty.
QStringList readLines(const QString &path, QString *error);

} // namespace standin
