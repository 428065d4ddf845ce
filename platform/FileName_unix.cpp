#include "platform/FileName.h"

namespace platform {

QString fileNamePart(const QString &text)
{
    QString part = text;
    for (QChar &c : part) {
        if (c == QLatin1Char('/') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    return part;
}

} // namespace platform
