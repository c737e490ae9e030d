#include "contentline.h"

#include <QString>

bool ContentLine::isValidUtf8(const QByteArray &data)
{
    // Qt's decoder replaces every malformed sequence, so only valid UTF-8 survives the round trip.
    return QString::fromUtf8(data).toUtf8() == data;
}

int ContentLine::valueSeparator(const QByteArray &line)
{
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        if (line.at(i) == '"') {
            quoted = !quoted;
        } else if (line.at(i) == ':' && !quoted) {
            return i;
        }
    }
    return -1;
}
