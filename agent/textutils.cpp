#include "textutils.h"

#include "logservice.h"

bool isTrimmedSpace(QChar c)
{
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimmedText(const QString &text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && isTrimmedSpace(text.at(begin))) {
        ++begin;
    }
    while (end > begin && isTrimmedSpace(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}

QString loggedValue(const QString &value)
{
    return LogService::shortened(value, 256);
}
