// Herds from the generator and the stand-ins' answers to them, made once and kept under
// build/bench/data/ (a herd of 100,000 cows takes about half a minute to make).
#pragma once

#include <QString>

namespace benchdata {

// The reference day of every benchmark herd.
QString referenceDay();

// The herd file of that many cows; empty when it could not be made.
QString herd(int cows);

// The answer of a stand-in to the program's request for that herd: "delaval", "dairyplan-reproduction",
// "dairyplan-milk", "taurus" or "dif" (AfiFarm's report). Empty when it could not be made.
QString answer(const QString &kind, int cows);

} // namespace benchdata
