// The herd exchange records of one run and the rules every adapter applies while filling them.
#pragma once

#include "ziviviver/ziviviver.h"

#include <QDate>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <algorithm>
#include <array>
#include <iterator>
#include <numeric>
#include <vector>

using Animal = ZARiruvOzav::ddata_zv_t;
using Insemination = ZARiruvOzav::ddata_ins_t;
using PregnancyEvent = ZARiruvOzav::ddata_br_t;
using DryOff = ZARiruvOzav::ddata_za_t;
using PlanEntry = ZARiruvOzav::ddata_plany_t;
using DownloadedInsemination = ZARiruvOzav::zavra_ins_row_t;

// What an adapter hands to the cloud: animals keyed by life number (last row read wins) and the
// event lists in reading order.
struct HerdRecords
{
    QMap<QString, Animal> animals;
    QList<Insemination> inseminations;
    QList<PregnancyEvent> pregnancies;
    QList<DryOff> dryOffs;
    QList<PlanEntry> plans;
};

// A reader's event to send, kept in reading order until its animal's life number is a text: a
// pregnancy event of that kind, or a drying-off (kind 0), of the animal read in that row.
struct RowEvent
{
    int row = 0;
    int kind = 0;
    QDate date;
};

// The events appended to the records' pregnancies and drying-offs, each under the life number of
// its row (lifeOfRow[row]), in their order.
void appendRowEvents(HerdRecords &records, const std::vector<RowEvent> &events,
                     const std::vector<QString> &lifeOfRow);

// Registration number to life number: every character but 0-9 removed, then the digits read as a
// signed 64-bit integer and written back, so leading zeros go. No digits, or a value too large for
// 64 bits, gives "0".
QString normalisedLifeNumber(QStringView registration);
// The same as its value: normalisedLifeNumber(r) is QString::number(lifeNumberValue(r)).
qint64 lifeNumberValue(QStringView registration);
// QString::number(lifeNumber) for a value of at least 0.
QString lifeNumberText(qint64 lifeNumber);
// The value of a text that is a life number as QString::number writes one; -1 for any other text
// (leading zeros, signs, blanks, more than 19 digits, too large).
qint64 lifeNumberOfText(QStringView text);

// "0" is what a registration without a number gives: such a row is no animal of its own, and
// every adapter leaves it out.
inline bool isAnimalLifeNumber(const QString &lifeNumber)
{
    return lifeNumber != QLatin1String("0");
}

// Life numbers of 9 or more digits make the run send long numbers (shortNumbers false).
inline bool isLongLifeNumber(const QString &lifeNumber)
{
    return lifeNumber.size() >= 9;
}
inline bool isLongLifeNumber(qint64 lifeNumber)
{
    return lifeNumber >= 100000000;
}

// The animal's tech_cislo as text: its number in the milking system where the adapter sends that;
// empty when the animal is not in the map or its number is null.
QString techNumberOf(const QMap<QString, Animal> &animals, const QString &lifeNumber);

// First day whose events are sent: today minus sendDays.
QDate sendWindowStart(int sendDays, const QDate &today);

// An event is sent when sendDays is above 0 and its date is valid and on or after the window start.
bool inSendWindow(const QDate &date, int sendDays, const QDate &today);

// Inseminations the milking system already holds, each the animal (its life number, or its key
// text where the adapter keys animals otherwise) and the date. A downloaded row that is known is not
// written back. Flat sorted tables: no node or text per insemination.
class KnownInseminations
{
public:
    void insert(qint64 lifeNumber, const QDate &date);
    void insert(const QString &animal, const QDate &date);
    bool contains(const QString &animal, const QDate &date) const;
    // Distinct inseminations held.
    int size() const;
    bool isEmpty() const { return size() == 0; }

private:
    void sort() const;

    mutable std::vector<std::pair<qint64, qint64>> numbers; // life number, Julian day
    mutable std::vector<std::pair<QString, qint64>> texts;  // other animal keys, Julian day
    mutable bool sorted = true;
};

// The map's entry for the key, made when missing. Keys that come in ascending order are appended
// without a search, so a map filled in key order costs no string comparisons but one per entry.
template <class T> T &mapEntry(QMap<QString, T> &map, const QString &key)
{
    if (!map.isEmpty()) {
        const auto last = std::prev(map.end());
        if (!(last.key() < key))
            return last.key() == key ? *last : map[key];
    }
    return *map.insert(map.cend(), key, T());
}

// A text of at most 19 ASCII digits (every life number) as two numbers that order like the text:
// a digit d is the half-byte d + 1, the rest of the 80 bits 0. False for any other text.
bool packedDigits(const QString &text, quint64 *high, quint64 *low);

// Positions 0..count-1 ordered by the text of the life number lifeOf(position) (a value of at
// least 0), as a QMap keyed by those texts orders them; equal numbers keep their order.
template <class LifeOf> std::vector<int> orderByLifeNumber(int count, LifeOf lifeOf)
{
    // Text order is the order of the digits aligned to the left, the shorter text first.
    static const quint64 scale[20] = {1ull,
                                      10ull,
                                      100ull,
                                      1000ull,
                                      10000ull,
                                      100000ull,
                                      1000000ull,
                                      10000000ull,
                                      100000000ull,
                                      1000000000ull,
                                      10000000000ull,
                                      100000000000ull,
                                      1000000000000ull,
                                      10000000000000ull,
                                      100000000000000ull,
                                      1000000000000000ull,
                                      10000000000000000ull,
                                      100000000000000000ull,
                                      1000000000000000000ull,
                                      10000000000000000000ull};
    struct Key
    {
        quint64 aligned;
        int digits;
        int position;
        bool operator<(const Key &o) const
        {
            return aligned != o.aligned ? aligned < o.aligned
                   : digits != o.digits ? digits < o.digits
                                        : position < o.position;
        }
    };
    std::vector<Key> keys(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        const quint64 v = quint64(lifeOf(k));
        int digits = 1;
        while (digits < 19 && v >= scale[digits])
            ++digits;
        keys[size_t(k)] = {v * scale[19 - digits], digits, k};
    }
    std::sort(keys.begin(), keys.end());
    std::vector<int> order(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k)
        order[size_t(k)] = keys[size_t(k)].position;
    return order;
}

// Calls visit(position) for each position of the order. The positions come in no order of memory:
// what they name is fetched ahead, so that the processor does not wait for each in turn. far(p) and
// near(p) give what to fetch (a std::array of addresses) for the positions 16 and 8 ahead; near
// may read what far fetched.
template <class Far, class Near, class Visit>
void visitInOrder(const std::vector<int> &order, Far far, Near near, Visit visit)
{
    const size_t n = order.size();
    for (size_t k = 0; k < n; ++k) {
        // Here, not in a function of its own: GCC deems a function that only fetches free of
        // effects and drops its calls.
        if (k + 16 < n) {
            for (const void *p : far(order[k + 16]))
                __builtin_prefetch(p);
        }
        if (k + 8 < n) {
            for (const void *p : near(order[k + 8]))
                __builtin_prefetch(p);
        }
        visit(order[k]);
    }
}

// The address of a text's characters, for fetching them ahead.
inline const void *textAddress(const QString &text)
{
    return const_cast<QString &>(text).data_ptr();
}

// Positions 0..count-1 ordered by keyOf(position); equal keys keep their order.
template <class KeyOf> std::vector<int> orderByKey(int count, KeyOf keyOf)
{
    std::vector<int> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    // Life numbers are compared as packed numbers, without a visit to each text per comparison.
    struct Packed
    {
        quint64 high;
        quint64 low;
    };
    std::vector<Packed> packed(static_cast<size_t>(count));
    bool allPacked = true;
    for (int k = 0; k < count && allPacked; ++k)
        allPacked = packedDigits(keyOf(k), &packed[size_t(k)].high, &packed[size_t(k)].low);
    if (allPacked) {
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            const Packed &x = packed[size_t(a)];
            const Packed &y = packed[size_t(b)];
            return x.high != y.high ? x.high < y.high : x.low < y.low;
        });
        return order;
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return keyOf(a) < keyOf(b); });
    return order;
}
