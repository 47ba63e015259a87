// Running the milking systems' converter programs through the command interpreter.
//
// Each runner deletes the old input file, writes the text into it (UTF-8, CR LF line ends on
// every platform), starts the interpreter (cmd.exe on Windows, given the commands as its command
// line; /bin/sh elsewhere, the commands typed in; a Windows converter there runs through Wine),
// changes to the working directory, runs the converter there
// and waits for it to finish, processing events meanwhile. Result: 0 when the converter ran and
// finished in time with success, -1 otherwise. The answer is read by the caller
// (exchange::openAnswer).
#pragma once

#include <QString>

// iso32.exe (DeLaval): "iso32.exe -f <input name> -o <output name>" + options (" -x" for an
// export, "" to hand records in), run in dir.
int runIsoConverter(const QString &dir, const QString &inputPath, const QString &text,
                    const QString &outputPath, const QString &options);

// dpdataexchange.exe (DairyPlan): "dpdataexchange.exe -T -A -E <filePath>", run in dir.
int runDairyPlanConverter(const QString &dir, const QString &filePath, const QString &text);

// Taurus (Lely, Fullwood): the converter program without arguments, run in its own directory.
int runTauConverter(const QString &programPath, const QString &filePath, const QString &text);

namespace exchange {

// Time limits of one converter run, in milliseconds.
struct ConverterLimits
{
    int startMs = 30000;    // the interpreter starts
    int finishMs = 1800000; // the interpreter, and with it the converter, finishes
};

ConverterLimits converterLimits();
#ifdef STABLOMAT_TEST_HOOKS
// Tests shorten the limits; ConverterLimits() restores the usual ones.
void setConverterLimits(const ConverterLimits &limits);
#endif

// The program ends: the converter that runs now is ended with everything it started, no other
// one starts, and waits for answers give up.
void endConverterRuns();
bool converterRunsEnded();

// Lets events run on the caller's thread for ms milliseconds, so the window paints meanwhile; ends
// early, with false, when converter runs end (the program ends).
bool waitWithEvents(int ms);

// Deletes the file, then writes the text into it UTF-8 encoded with every line feed as CR LF.
// False (and no file left) when it cannot be written completely.
bool writeConverterInput(const QString &path, const QString &text);

} // namespace exchange
