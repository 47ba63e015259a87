// The tray icon while the last exchange failed: the program's icon with a warning sign on it.
#pragma once

#include <QIcon>

QIcon warningIcon(const QIcon &base);
