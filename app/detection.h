// Which milking system is installed, found by probing fixed installation paths.
#pragma once

#include <QString>

struct MilkingSystem
{
    int code = 0;          // 0 not recognised, 1..7 the systems
    QString programPath;   // converter, AfiFarm directory or HerdMetrix database (Windows form)
    QString label;         // the system's name as shown
    QString yieldFileName; // "mleko.csv" for a recognised system
    bool exchangeButton = true;
    QString watchedDirectory; // AfiFarm only
};

// Probes the paths in their fixed order; every path goes through platform::localPath.
MilkingSystem probeMilkingSystem();
