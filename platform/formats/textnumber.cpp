#include "textnumber.h"

#include <algorithm>
#include <climits>

qint64 leadingLong(const QString &text)
{
    int i = 0;
    while (i < text.size() && text.at(i).isSpace()) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    qint64 value = 0;
    bool overflow = false;
    for (; i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i) {
        const int digit = text.at(i).unicode() - '0';
        overflow = overflow || value > (LLONG_MAX - digit) / 10;
        value = overflow ? LLONG_MAX : value * 10 + digit;
    }
    if (overflow) {
        return negative ? LLONG_MIN : LLONG_MAX;
    }
    return negative ? -value : value;
}

int leadingInteger(const QString &text)
{
    return int(std::clamp<qint64>(leadingLong(text), INT_MIN, INT_MAX));
}
