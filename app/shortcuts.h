// The start-up shortcut that starts the program at log-on.
#pragma once

#include <QString>

// "<applications location>/Startup/<executable base name>.lnk"; empty when there is no
// applications location.
QString startupShortcutPath();

bool startupShortcutPresent();
bool createStartupShortcut();
bool removeStartupShortcut();

// The label text of the shortcut state.
QString shortcutStateText(bool exists);
