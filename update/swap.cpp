#include "update/swap.h"

#include "platform/platform.h"
#include "platform/wholefile.h"
#include "update/archive.h"
#include "update/updateprotocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace update {

namespace {

QString in(const QString &dir, const QString &name)
{
    return dir + QLatin1Char('/') + name;
}

bool removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
}

} // namespace

bool swapUnderWay(const QString &dir)
{
    return QFileInfo::exists(in(dir, JournalName));
}

bool prepareSwap(const QString &dir)
{
    if (swapUnderWay(dir))
        return false;
    for (const QString &name : {TrialMark, TriedMark}) {
        if (!removeTree(in(dir, name)))
            return false;
    }
    return removeTree(in(dir, StagingDir)) && removeTree(in(dir, BackupDir));
}

bool writeJournal(const QString &dir, const QStringList &topLevel, const QString &exeName)
{
    QByteArray text;
    for (const QString &name : topLevel) {
        if (name != exeName)
            text += name.toUtf8() + '\n';
    }
    return platform::writeWholeFile(in(dir, JournalName), text);
}

bool stageArchive(const QString &dir, const QString &archive, const QString &exeName, bool *writeFailed)
{
    bool failedWriting = !prepareSwap(dir);
    const Unpacked unpacked =
        failedWriting ? Unpacked() : unpackArchive(archive, in(dir, StagingDir), exeName);
    failedWriting = failedWriting || unpacked.writeFailed;
    const bool staged =
        unpacked.ok && QDir().mkpath(in(dir, BackupDir)) && writeJournal(dir, unpacked.topLevel, exeName);
    if (!staged) {
        QDir(in(dir, StagingDir)).removeRecursively();
        QDir(in(dir, BackupDir)).removeRecursively();
        failedWriting = failedWriting || unpacked.ok;
    }
    if (writeFailed)
        *writeFailed = failedWriting;
    return staged;
}

StartAction claimAtStart(const QString &dir, const QString &exeName)
{
    if (!swapUnderWay(dir))
        return StartAction::Run;
    // The executable was swapped when its copy is in the backup and the new one has left staging.
    const bool swapped = !QFileInfo::exists(in(dir, StagingDir + QLatin1Char('/') + exeName)) &&
                         QFileInfo::exists(in(dir, BackupDir + QLatin1Char('/') + exeName));
    if (swapped && QFile::rename(in(dir, TrialMark), in(dir, TriedMark)))
        return StartAction::RunOnTrial;
    return StartAction::HandOver;
}

bool writeScript(const QString &dir, const QString &exeName)
{
    const QString path = in(dir, platform::updateScriptName());
    const QByteArray text = updateScript(exeName);
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.size() == text.size() && existing.readAll() == text)
        return true;
    existing.close();
    return platform::writeWholeFile(path, text);
}

bool keepNewVersion(const QString &dir)
{
    return QFile::remove(in(dir, JournalName)) && removeTree(in(dir, TriedMark)) &&
           removeTree(in(dir, StagingDir));
}

} // namespace update
