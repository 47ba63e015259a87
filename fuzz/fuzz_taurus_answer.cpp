// The Taurus converter's general-cow answer (Lely and Fullwood): lines into Fullwood's records and
// the write-back lines for downloaded inseminations.
#include "adapters/taurus/taurusexchange.h"
#include "answerinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = answerLines(data, size);
    const taurus::FullwoodHerd herd = taurus::fullwoodHerd(lines, 30, 60, fuzzToday());
    QList<DownloadedInsemination> downloaded;
    for (auto it = herd.records.animals.cbegin(); it != herd.records.animals.cend() && downloaded.size() < 50;
         ++it) {
        DownloadedInsemination row;
        row.cislo = it.key();
        row.datum = fuzzToday().addDays(-3);
        downloaded << row;
    }
    if (taurus::fullwoodWriteBackLines(downloaded, herd.known, herd.records.animals).size() >
        downloaded.size())
        __builtin_trap();
    return 0;
}
