#include "recordlines.h"

namespace herd {

int recordInseminationLines(Herd &herd, const adislines::Layout &layout, const QStringList &lines,
                            int ordinalField, int sireField, QStringList *log,
                            const std::function<void(int)> &beforeLine)
{
    using adislines::isUnknown;
    const int length = adislines::lineLength(layout);
    int imported = 0;
    for (int n = 0; n < lines.size(); ++n) {
        if (beforeLine)
            beforeLine(n);
        const QString &line = lines.at(n);
        const QStringList v = adislines::cut(line, layout);
        const QString what = QStringLiteral("record %1 (cow %2, %3): ").arg(n + 1).arg(v.at(0), v.at(1));
        if (line.size() != length) {
            *log << what + QStringLiteral("skipped, line of %1 characters instead of %2")
                               .arg(line.size())
                               .arg(length);
            continue;
        }
        const QString &ordinal = v.at(ordinalField);
        const QString &sire = v.at(sireField);
        const QDate date =
            isUnknown(v.at(1)) ? QDate() : QDate::fromString(v.at(1), QStringLiteral("yyyyMMdd"));
        const RecordOutcome outcome =
            recordInsemination(herd, v.at(0), date, isUnknown(sire) ? QString() : sire,
                               isUnknown(ordinal) ? 0 : ordinal.toInt());
        if (outcome != RecordOutcome::Recorded) {
            *log << what + skipText(outcome);
            continue;
        }
        ++imported;
        *log << what + QStringLiteral("imported");
    }
    return imported;
}

} // namespace herd
