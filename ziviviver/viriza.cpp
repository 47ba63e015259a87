#include "ziviviver.h"

// Life numbers are ASCII digits only: other Unicode digits would not survive the conversion to a number.
void VIRiza::removeNonNumericChars(QString &text)
{
    int kept = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            text[kept++] = c;
    }
    text.truncate(kept);
}
