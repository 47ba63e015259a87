// Makes herds of any size with lifelike histories, the same herd for the same seed.
#pragma once

#include "herd.h"

namespace herd {

struct GeneratorOptions
{
    int cows = 100;
    quint32 seed = 1;
    QDate today;              // the reference day; invalid gives the current date
    bool longNumbers = false; // a few registration numbers of nine significant digits
    int milkingDays = 3;      // the reference day and the days before it that carry milkings
};

Herd generateHerd(const GeneratorOptions &options);

} // namespace herd
