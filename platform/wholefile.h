// Files put in place whole: a reader never sees half of one, and a failed write leaves an earlier
// file as it was.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Writes bytes under a temporary name beside path, then renames it to path. False (and nothing
// put in place) when any of it fails, a full disk included.
bool writeWholeFile(const QString &path, const QByteArray &bytes);

} // namespace platform
