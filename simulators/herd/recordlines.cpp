#include "recordlines.h"

namespace herd {

int recordInseminationLines(Herd &herd, const adis::Entity &table, const QStringList &lines, int ordinalItem,
                            int sireItem, QStringList *log, const std::function<void(int)> &beforeLine)
{
    int imported = 0;
    for (int n = 0; n < lines.size(); ++n) {
        if (beforeLine)
            beforeLine(n);
        const QString &line = lines.at(n);
        const adis::Values v = table.cutAny(line);
        const QString what = QStringLiteral("record %1 (cow %2, %3): ").arg(n + 1).arg(v.at(0), v.at(1));
        if (line.size() != table.lineLength()) {
            *log << what + QStringLiteral("skipped, line of %1 characters instead of %2")
                               .arg(line.size())
                               .arg(table.lineLength());
            continue;
        }
        const QDate date = v.isUnknown(1) ? QDate() : QDate::fromString(v.at(1), QStringLiteral("yyyyMMdd"));
        const RecordOutcome outcome =
            recordInsemination(herd, v.at(0), date, v.isUnknown(sireItem) ? QString() : v.at(sireItem),
                               v.isUnknown(ordinalItem) ? 0 : v.at(ordinalItem).toInt());
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
