#include "dateformatter.h"

#include <QLoggingCategory>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <ctime>
#include <memory>

Q_LOGGING_CATEGORY(lcDateFormatter, "ruvelant.dateformatter")

namespace {
icu::DateFormat::EStyle icuStyle(DateFormatter::Style style)
{
    switch (style) {
    case DateFormatter::ShortStyle:
        return icu::DateFormat::kShort;
    case DateFormatter::MediumStyle:
        return icu::DateFormat::kMedium;
    case DateFormatter::LongStyle:
        return icu::DateFormat::kLong;
    case DateFormatter::FullStyle:
        return icu::DateFormat::kFull;
    case DateFormatter::NoStyle:
        break;
    }
    return icu::DateFormat::kNone;
}
} // namespace

DateFormatter::DateFormatter(Style dateStyle, Style timeStyle) : m_dateStyle(dateStyle), m_timeStyle(timeStyle) { }

QString DateFormatter::currentLocaleName()
{
    QByteArray name;
    for (const char *variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        name = qgetenv(variable);
        if (!name.isEmpty()) {
            break;
        }
    }
    // "de_DE.UTF-8@euro" -> "de_DE"
    const int cut = name.indexOf('.') >= 0 ? name.indexOf('.') : name.indexOf('@');
    if (cut >= 0) {
        name.truncate(cut);
    }
    if (name.isEmpty() || name == "C" || name == "POSIX") {
        return QStringLiteral("en_US_POSIX");
    }
    return QString::fromLatin1(name);
}

QString DateFormatter::stringFromDate(const QDateTime &date) const
{
    if (!date.isValid()) {
        return QString();
    }
    const icu::Locale locale(currentLocaleName().toLatin1().constData());
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateTimeInstance(icuStyle(m_dateStyle), icuStyle(m_timeStyle), locale));
    if (!format) {
        qCWarning(lcDateFormatter) << "no date format for locale" << currentLocaleName();
        return QString();
    }
    // ICU keeps the zone it detected first; the process's zone may have changed since (TZ set
    // later), so the host zone is looked up again for every text.
    tzset();
    format->adoptTimeZone(icu::TimeZone::detectHostTimeZone());

    icu::UnicodeString text;
    format->format(static_cast<UDate>(date.toMSecsSinceEpoch()), text);
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}
