#include "app/FindExtension.h"

QString FindExtension(const QString& sFileName) {
    const qsizetype length = sFileName.size();
    if (length <= 2)
        return QString();
    // Look from the next-to-last character back to the second one; the first dot met
    // (from the end) starts the extension.
    for (qsizetype i = length - 2; i >= 1; --i) {
        if (sFileName.at(i) == QLatin1Char('.'))
            return sFileName.mid(i + 1);
    }
    return QString();
}
