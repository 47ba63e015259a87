// Writes the requests the program hands to the converters, so make-seeds.sh can have the stand-ins
// answer them: seedtool <system> <file>.
#include "adapters/delaval/delavalformat.h"
#include "adapters/taurus/taurusformat.h"
#include "adapters/westfalia/westfaliaformat.h"

#include <QFile>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: seedtool delaval|dairyplan-reproduction|dairyplan-milk|taurus FILE\n");
        return 2;
    }
    QString text;
    if (std::strcmp(argv[1], "delaval") == 0)
        text = delaval::requestText();
    else if (std::strcmp(argv[1], "dairyplan-reproduction") == 0)
        text = westfalia::reproductionRequestText();
    else if (std::strcmp(argv[1], "dairyplan-milk") == 0)
        text = westfalia::milkRequestText();
    else if (std::strcmp(argv[1], "taurus") == 0)
        text = taurus::reproductionRequestText(taurus::System::Fullwood);
    else
        return 2;
    QFile out(QString::fromLocal8Bit(argv[2]));
    if (!out.open(QIODevice::WriteOnly))
        return 1;
    out.write(text.toUtf8().replace("\n", "\r\n"));
    return 0;
}
