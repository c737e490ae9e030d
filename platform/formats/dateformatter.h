#ifndef RUVELANT_DATEFORMATTER_H
#define RUVELANT_DATEFORMATTER_H

#include <QDateTime>
#include <QString>

// Date and time texts in one of the locale's styles (ICU / CLDR), in the process's locale
// (LC_ALL, else LC_TIME, else LANG) and its default time zone (TZ, else the system's), both
// read afresh at every call.
class DateFormatter
{
public:
    enum Style { NoStyle, ShortStyle, MediumStyle, LongStyle, FullStyle };

    DateFormatter(Style dateStyle, Style timeStyle);

    // The text of date; empty for an invalid date or when the locale data cannot be loaded.
    QString stringFromDate(const QDateTime &date) const;

    // The ICU locale of the process, e.g. "fr_FR" for LANG=fr_FR.UTF-8; "en_US_POSIX" for C/POSIX.
    static QString currentLocaleName();

private:
    Style m_dateStyle;
    Style m_timeStyle;
};

#endif
