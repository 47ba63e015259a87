#pragma once

#include <QString>
#include <functional>

// The text shown when another copy of the program already runs.
QString secondInstanceText();

// The whole life of the program: application, single-instance rule, main window, tray check,
// event loop. `started` runs once the application object exists (tests use it to drive the run).
int runStablomat(int argc, char **argv, const std::function<void()> &started = {});
