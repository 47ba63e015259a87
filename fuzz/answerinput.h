// Shared by the fuzz targets: the input as the lines of an answer file, read as the adapters read it.
#pragma once

#include "exchange/answerfile.h"

#include <QBuffer>
#include <QDate>

#include <cstddef>
#include <cstdint>

inline QStringList answerLines(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return exchange::readAnswerLines(buffer);
}

// The stand-ins' reference day, so that dated seeds fall into the day windows.
inline QDate fuzzToday()
{
    return QDate(2024, 5, 14);
}
