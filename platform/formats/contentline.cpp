#include "contentline.h"

#include <QString>

#include <unicode/unistr.h>

bool ContentLine::isValidUtf8(const QByteArray &data)
{
    // Qt's decoder replaces every malformed sequence, so only valid UTF-8 survives the round trip.
    return QString::fromUtf8(data).toUtf8() == data;
}

QString ContentLine::decodeUtf8(const QByteArray &data)
{
    if (isValidUtf8(data))
        return QString::fromUtf8(data);
    // Qt gives one U+FFFD per byte of a cut-short sequence; ICU gives one per sequence.
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(data.constData(), data.size()));
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
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
