// A fresh Wine prefix for one test of the Windows program (made from the test run's template by
// scripts/wine-prefix.sh), and what the tests do in it: run Windows programs, read and write the
// registry, look at X windows (xdotool) on the run's display with its tray host.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class WinePrefix
{
public:
    WinePrefix();
    ~WinePrefix(); // ends the prefix's wineserver and every program in it

    bool isValid() const { return valid; }
    QString path() const { return dir.path() + QStringLiteral("/prefix"); }
    // The local path of a path on drive C ("C:\\alpro\\iso32.exe" or "c:/alpro").
    QString local(const QString &windowsPath) const;
    // The environment of programs in this prefix, with extra "NAME=value" entries.
    QProcessEnvironment environment(const QStringList &extra = {}) const;

    // Starts a Windows program (by its Windows path) under Wine; the caller owns the process.
    std::unique_ptr<QProcess> start(const QString &program, const QStringList &arguments = {},
                                    const QStringList &environment = {}) const;
    // Runs "wine ARGS..." to its end (at most timeoutMs); its exit code, -1 when it did not end.
    int wine(const QStringList &arguments, QByteArray *output = nullptr, int timeoutMs = 60000) const;
    // "reg query KEY /v NAME": the value's text, empty when there is none.
    QString regValue(const QString &key, const QString &name) const;
    // Imports a .reg text (REGEDIT4) with "reg import".
    bool regImport(const QString &text) const;
    // True when a Windows process of this prefix runs an image of that name (case-insensitive).
    bool running(const QString &imageName) const;

private:
    QTemporaryDir dir;
    bool valid = false;
};

// Shown X windows of the run's display whose name matches the regular expression (xdotool search).
QStringList windowsNamed(const QString &pattern);
// Runs xdotool with the arguments (keys and text go to the window that has the focus).
bool xdotool(const QStringList &arguments);
