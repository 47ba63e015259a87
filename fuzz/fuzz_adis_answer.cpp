// A converter's answer file: the line reader, the ADIS value-line cutter with the DeLaval cow table
// and a named-field table, and the field helpers on every value cut.
#include "adapters/delaval/delavalformat.h"
#include "exchange/adis.h"
#include "exchange/answerfields.h"
#include "exchange/answerfile.h"
#include "sync/records.h"

#include <QBuffer>
#include <QTextCodec>

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

// The field helpers' dates and times as Qt's own parser reads them; the helpers' quick paths must
// agree with it on every text.
QDate referenceDate(const QString &text)
{
    if (text.contains(QLatin1Char('?')))
        return QDate();
    const QString t = text.trimmed();
    QDate date = QDate::fromString(t, QStringLiteral("dd.MM.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("d.M.yyyy"));
    if (!date.isValid())
        date = QDate::fromString(t, QStringLiteral("yyyyMMdd"));
    return date;
}

int referenceSeconds(const QString &text)
{
    const QTime time = QTime::fromString(text.trimmed(), QStringLiteral("hh:mm:ss"));
    return time.isValid() ? QTime(0, 0).secsTo(time) : 0;
}

QString referenceLifeNumber(const QString &text)
{
    QString digits;
    for (const QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits.append(c);
    }
    bool ok = false;
    const qlonglong value = digits.toLongLong(&ok);
    return QString::number(ok ? value : 0);
}

void compare(const QString &f)
{
    if (parseDate(f) != referenceDate(f))
        __builtin_trap();
    if (normalisedLifeNumber(f) != referenceLifeNumber(f))
        __builtin_trap();
    bool okInt = false, okRef = false;
    if (wholeValue(f, &okInt) != f.toInt(&okRef) || okInt != okRef)
        __builtin_trap();
    if (!f.contains(QLatin1Char('?'))) {
        bool ok = false;
        const double value = decimalValue(f, &ok);
        const double reference = parseDecimal(f).toString().trimmed().toDouble(&okRef);
        if (ok != okRef || (ok && value != reference && !(std::isnan(value) && std::isnan(reference))))
            __builtin_trap();
    }
    if (!f.contains(QLatin1Char('?')) && parseSeconds(f).toInt() != referenceSeconds(f))
        __builtin_trap();
}

void fields(const adis::Values &v)
{
    if (v.isComplete() && v.size() == 0)
        __builtin_trap();
    for (int k = 0; k <= v.size(); ++k) { // one past the end on purpose: at() must answer empty
        const QString f = v.at(k);
        if (v.view(k) != f || v.view(k).isNull() != f.isNull())
            __builtin_trap();
        compare(f);
        const QDate d = parseDate(f);
        (void)parseDecimal(f).toString().toDouble();
        (void)parseSeconds(f).toInt();
        (void)parseDateTime(d, f);
        (void)cleanText(f);
        (void)v.isUnknown(k);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const adis::Entity named =
        adis::Entity::named({{"COW", 6, 0}, {"SRVDAT", 9}, {"SIRE", 12}, {"YIELD", 5, 2}, {"TIME", 8}});
    QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    // The first byte picks the codec, as the adapters read UTF-8 and Windows-1250 answers.
    QTextCodec *codec = QTextCodec::codecForName(size && (data[0] & 1) ? "Windows-1250" : "UTF-8");
    const QStringList lines = exchange::readAnswerLines(buffer, codec);
    for (const QString &line : lines) {
        if (line.contains(QLatin1Char('\n')))
            __builtin_trap(); // lines come without their ends
        for (const QString &f : line.split(QLatin1Char('\t')))
            compare(f);
        adis::Values v;
        if (delaval::cowRequest().cut(line, &v))
            fields(v);
        if (named.cut(line, &v))
            fields(v);
        (void)delaval::inseminationRecord().cutAny(line).at(1);
    }
    return 0;
}
