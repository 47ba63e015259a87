#include "update/archive.h"

#include "update/updateprotocol.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <unzip.h>

namespace update {

namespace {

const int maxMembers = 10000;
const qint64 maxUnpackedBytes = 1024LL * 1024 * 1024;
const int maxNameBytes = 1024;

bool componentAcceptable(const QString &part)
{
    if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
        return false;
    for (const QChar c : part) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringLiteral("\\/:*?\"<>|").contains(c))
            return false;
    }
    return !part.endsWith(QLatin1Char(' ')) && !part.endsWith(QLatin1Char('.'));
}

// The archive is read through QFile: no file name reaches minizip, whatever the path's letters.
voidpf ZCALLBACK openFile(voidpf, const void *file, int)
{
    return const_cast<void *>(file);
}

uLong ZCALLBACK readFile(voidpf, voidpf stream, void *buffer, uLong size)
{
    const qint64 n = static_cast<QFile *>(stream)->read(static_cast<char *>(buffer), qint64(size));
    return n < 0 ? 0 : uLong(n);
}

uLong ZCALLBACK writeFile(voidpf, voidpf, const void *, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK tellFile(voidpf, voidpf stream)
{
    return ZPOS64_T(static_cast<QFile *>(stream)->pos());
}

long ZCALLBACK seekFile(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    QFile *file = static_cast<QFile *>(stream);
    qint64 base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR)
        base = file->pos();
    else if (origin == ZLIB_FILEFUNC_SEEK_END)
        base = file->size();
    return file->seek(base + qint64(offset)) ? 0 : -1;
}

int ZCALLBACK closeFile(voidpf, voidpf)
{
    return 0;
}

int ZCALLBACK errorFile(voidpf, voidpf stream)
{
    return static_cast<QFile *>(stream)->error() == QFileDevice::NoError ? 0 : 1;
}

struct Member
{
    QString name;
    bool executable = false;
    qint64 size = 0;
};

class Archive
{
public:
    explicit Archive(const QString &path) : file(path)
    {
        if (!file.open(QIODevice::ReadOnly))
            return;
        zlib_filefunc64_def functions = {openFile, readFile,  writeFile, tellFile,
                                         seekFile, closeFile, errorFile, nullptr};
        handle = unzOpen2_64(&file, &functions);
    }
    ~Archive()
    {
        if (handle)
            unzClose(handle);
    }
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    // Every member's name and mode; false for an archive that cannot be used.
    bool list(QList<Member> &members)
    {
        unz_global_info64 global;
        if (!handle || unzGetGlobalInfo64(handle, &global) != UNZ_OK || global.number_entry > maxMembers)
            return false;
        qint64 total = 0;
        for (int status = unzGoToFirstFile(handle); status != UNZ_END_OF_LIST_OF_FILE;
             status = unzGoToNextFile(handle)) {
            unz_file_info64 info;
            char name[maxNameBytes + 1];
            if (status != UNZ_OK ||
                unzGetCurrentFileInfo64(handle, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
                info.size_filename > maxNameBytes || (info.flag & 1) != 0)
                return false; // unreadable, an overlong name, or encrypted
            const QString decoded = QString::fromUtf8(name, int(info.size_filename));
            if (decoded.contains(QChar::ReplacementCharacter))
                return false;
            // Unix modes live in the upper half of the external attributes of archives made there.
            const bool unix = (info.version >> 8) == 3;
            const uLong mode = info.external_fa >> 16;
            if (unix && (mode & 0170000) == 0120000)
                return false; // no symbolic links
            total += qint64(info.uncompressed_size);
            if (total > maxUnpackedBytes)
                return false;
            members.append({decoded, unix && (mode & 0111) != 0, qint64(info.uncompressed_size)});
        }
        return true;
    }

    // The current member's bytes into out; false on a bad CRC or a short or failed read. minizip
    // checks the CRC only when the declared size came out, so a stream that ends early is caught
    // by its size.
    bool extractCurrent(QSaveFile &out, qint64 size, bool &writeFailed)
    {
        if (unzOpenCurrentFile(handle) != UNZ_OK)
            return false;
        QByteArray buffer(1 << 16, Qt::Uninitialized);
        bool sound = true;
        qint64 total = 0;
        for (;;) {
            const int n = unzReadCurrentFile(handle, buffer.data(), unsigned(buffer.size()));
            if (n < 0)
                sound = false;
            if (n <= 0)
                break;
            total += n;
            if (out.write(buffer.constData(), n) != n) {
                writeFailed = true;
                sound = false;
                break;
            }
        }
        return unzCloseCurrentFile(handle) == UNZ_OK && sound && total == size;
    }

    unzFile handle = nullptr;

private:
    QFile file;
};

} // namespace

bool archiveNamesAcceptable(const QStringList &names, const QString &exeName)
{
    static const QRegularExpression topPattern(QStringLiteral("^[A-Za-z0-9_+-][A-Za-z0-9._+-]*$"));
    QSet<QString> seen, files;
    bool hasProgram = false;
    for (const QString &name : names) {
        const bool directory = name.endsWith(QLatin1Char('/'));
        const QString path = directory ? name.chopped(1) : name;
        const QStringList parts = path.split(QLatin1Char('/'));
        for (const QString &part : parts) {
            if (!componentAcceptable(part))
                return false;
        }
        const QString top = parts.first();
        // The program keeps its own name, whatever it is; the scripts quote it.
        if ((top != exeName && !topPattern.match(top).hasMatch()) || ownFileNames().contains(top.toLower()))
            return false;
        // Windows knows one file for names that differ in case only.
        if (seen.contains(path.toLower()) && !directory)
            return false;
        seen.insert(path.toLower());
        if (!directory)
            files.insert(path.toLower());
        if (path == exeName && !directory)
            hasProgram = true;
    }
    // A file cannot also be a folder.
    for (const QString &path : qAsConst(seen)) {
        for (int slash = path.indexOf(QLatin1Char('/')); slash > 0;
             slash = path.indexOf(QLatin1Char('/'), slash + 1)) {
            if (files.contains(path.left(slash)))
                return false;
        }
    }
    return hasProgram;
}

Unpacked unpackArchive(const QString &zipPath, const QString &targetDir, const QString &exeName)
{
    Unpacked result;
    QDir target(targetDir);
    Archive archive(zipPath);
    QList<Member> members;
    QStringList names;
    if (!archive.list(members)) {
        target.removeRecursively();
        return result;
    }
    for (const Member &member : qAsConst(members))
        names.append(member.name);
    if (!archiveNamesAcceptable(names, exeName)) {
        target.removeRecursively();
        return result;
    }

    bool sound = (!target.exists() || target.removeRecursively()) && QDir().mkpath(targetDir);
    result.writeFailed = !sound;
    int index = 0;
    for (int status = unzGoToFirstFile(archive.handle); sound && status == UNZ_OK;
         status = unzGoToNextFile(archive.handle), ++index) {
        const Member &member = members.at(index);
        const QString path = target.filePath(member.name);
        const QString top = member.name.section(QLatin1Char('/'), 0, 0);
        if (!result.topLevel.contains(top))
            result.topLevel.append(top);
        if (member.name.endsWith(QLatin1Char('/'))) {
            sound = QDir().mkpath(path);
            result.writeFailed = !sound;
            continue;
        }
        if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
            result.writeFailed = true;
            break;
        }
        QSaveFile out(path);
        if (!out.open(QIODevice::WriteOnly)) {
            result.writeFailed = true;
            break;
        }
        sound = archive.extractCurrent(out, member.size, result.writeFailed);
        // Flushed first: commit() does not notice a buffer that a full disk refused.
        if (sound && !(out.flush() && out.commit())) {
            sound = false;
            result.writeFailed = true;
        }
        if (sound && (member.executable || member.name == exeName))
            QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup |
                                            QFile::ExeOther | QFile::ExeUser);
    }
    result.ok = sound && index == members.size();
    if (!result.ok)
        target.removeRecursively();
    return result;
}

} // namespace update
