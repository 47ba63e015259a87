// Private to the library: JSON text written straight into bytes, the same bytes
// QJsonDocument::toJson(QJsonDocument::Compact) writes for the same values (keys are written in the
// order given: the caller gives them sorted, as QJsonObject keeps them).
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <cstring>
#include <vector>

namespace zavra {

class JsonText
{
public:
    explicit JsonText(int sizeHint = 0);

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // The key of the next value of the open object.
    void key(const char *latin1Key)
    {
        const int n = int(std::strlen(latin1Key));
        char *p = room(n + 4);
        if (!firstInLevel.back())
            *p++ = ',';
        firstInLevel.back() = false;
        *p++ = '"';
        std::memcpy(p, latin1Key, size_t(n));
        p += n;
        *p++ = '"';
        *p++ = ':';
        used = int(p - bytes.constData());
        afterKey = true;
    }

    void string(const QString &text);
    void string(const QChar *text, int size);
    void integer(qint64 n);
    void boolean(bool b);
    // Any value as QJsonDocument writes it; nothing for an undefined one.
    void value(const QJsonValue &v);
    // "yyyy-MM-dd" (QDate::toString(Qt::ISODate)).
    void isoDate(int year, int month, int day);

    QByteArray take();

private:
    void open(char bracket);
    void close(char bracket);
    void separate();
    void raw(const char *text);
    // Space for at least n more bytes, at the end of what is written.
    char *room(int n)
    {
        if (bytes.size() - used < n)
            grow(n);
        return bytes.data() + used;
    }
    void grow(int n);

    QByteArray bytes;
    int used = 0;
    std::vector<bool> firstInLevel; // per open bracket: nothing written into it yet
    bool afterKey = false;
};

} // namespace zavra
