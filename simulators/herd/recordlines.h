// Written-back insemination records in ADIS value lines, recorded into the herd the way the
// stand-ins' converters do it. Compiled into the stand-ins that carry the ADIS toolkit.
#pragma once

#include "exchange/adis.h"
#include "herd.h"

#include <QStringList>

#include <functional>

namespace herd {

// Records each value line of `table`: item 0 the parlour number, item 1 the date "yyyyMMdd", then
// the items holding the ordinal and the sire ("?" for unknown). A line that is not exactly the
// table's length is skipped. One log line per record ("record N (cow C, D): imported" or why not).
// beforeLine(n), when given, runs before line n is looked at. Returns how many were recorded.
int recordInseminationLines(Herd &herd, const adis::Entity &table, const QStringList &lines, int ordinalItem,
                            int sireItem, QStringList *log, const std::function<void(int)> &beforeLine = {});

} // namespace herd
