// Written-back insemination records in ADIS value lines, recorded into the herd the way the
// stand-ins' converters do it.
#pragma once

#include "adislines.h"
#include "herd.h"

#include <QStringList>

#include <functional>

namespace herd {

// Records each value line of `layout`: field 0 the parlour number, field 1 the date "yyyyMMdd", then
// the fields holding the ordinal and the sire ("?" for unknown). A line that is not exactly the
// layout's length is skipped. One log line per record ("record N (cow C, D): imported" or why not).
// beforeLine(n), when given, runs before line n is looked at. Returns how many were recorded.
int recordInseminationLines(Herd &herd, const adislines::Layout &layout, const QStringList &lines,
                            int ordinalField, int sireField, QStringList *log,
                            const std::function<void(int)> &beforeLine = {});

} // namespace herd
