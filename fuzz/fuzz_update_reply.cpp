// The update server's reply to the version check, and the UltraVNC configuration read for it.
#include "netrule.h"
#include "update/updateprotocol.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const update::UpdateOffer offer = update::parseUpdateReply(body);
    if (offer.newer && QString::fromUtf8(body).count(QLatin1Char(',')) != 4)
        __builtin_trap(); // only a reply of five fields offers an update
    (void)netrule::permittedUrl(QUrl(offer.archiveAddress));
    (void)update::versionValue(QString::fromUtf8(body));
    (void)update::vncIdFromConfigs({body, body.left(int(size / 2))});
    return 0;
}
