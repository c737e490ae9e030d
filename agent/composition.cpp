#include "composition.h"

#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "dateformatter.h"
#include "textutils.h"

#include <QList>
#include <QPair>

namespace {
using Substitution = QPair<QLatin1String, QString>;

// Replaces every occurrence of each placeholder in one pass over the template. A value put in
// is never scanned again, so a name that happens to hold "<<first>>" stays as it is.
QString substitute(const QString &text, const QList<Substitution> &substitutions)
{
    QString result;
    result.reserve(text.size());
    int from = 0;
    while (from < text.size()) {
        const int open = text.indexOf(QLatin1String("<<"), from);
        if (open < 0) {
            break;
        }
        bool replaced = false;
        for (const Substitution &substitution : substitutions) {
            if (QStringView(text).mid(open).startsWith(substitution.first)) {
                result += QStringView(text).mid(from, open - from);
                result += substitution.second;
                from = open + substitution.first.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            // Keep the first "<" and look again from the next one ("<<<date>>" names a placeholder).
            result += QStringView(text).mid(from, open + 1 - from);
            from = open + 1;
        }
    }
    result += QStringView(text).mid(from);
    return result;
}
} // namespace

QString buildReminderSubject(const ComKestramoPreferenceQuorvelModel &model, const Event &event)
{
    return buildReminderSubject(model.mailTitle(), event);
}

QString buildReminderSubject(const QString &mailTitle, const Event &event)
{
    const QString shortDate
        = DateFormatter(DateFormatter::ShortStyle, DateFormatter::NoStyle).stringFromDate(event.startDate);
    const QString title = trimmedText(mailTitle);
    if (!title.isEmpty()) {
        return substitute(title, {{QLatin1String("<<date>>"), shortDate}});
    }
    return builtInReminderSubject(shortDate);
}

QString builtInReminderSubject(const QString &shortDate)
{
    return QStringLiteral("Appointement reminder (%1)").arg(shortDate);
}

QString builtInReminderBody(const QString &longDate, const QString &shortTime)
{
    return QStringLiteral("Hello,\nthis email is a reminder,\nremember your appointement on ") + longDate
        + QStringLiteral(" at ") + shortTime + QStringLiteral("\n\nbest regards");
}

QString buildReminderBody(const ComKestramoPreferenceQuorvelModel &model, const Event &event, const QString &address)
{
    const QString longDate
        = DateFormatter(DateFormatter::LongStyle, DateFormatter::NoStyle).stringFromDate(event.startDate);
    const QString shortTime
        = DateFormatter(DateFormatter::NoStyle, DateFormatter::ShortStyle).stringFromDate(event.startDate);
    const QString content = trimmedText(model.mailContent());
    if (!content.isEmpty()) {
        const std::optional<Person> person = mailOwner(address);
        return substitute(
            content,
            {{QLatin1String("<<date>>"), longDate},
             {QLatin1String("<<time>>"), shortTime},
             {QLatin1String("<<last>>"),
              getStringFromPersonProperyByTrimmingAndManagingNullAndEmptyOnes(person, kABLastNameProperty)},
             {QLatin1String("<<first>>"),
              getStringFromPersonProperyByTrimmingAndManagingNullAndEmptyOnes(person, kABFirstNameProperty)}});
    }
    return builtInReminderBody(longDate, shortTime);
}

std::optional<Person> mailOwner(const QString &address)
{
    const AddressBook *book = AddressBook::sharedAddressBook();
    if (!book) {
        return std::nullopt;
    }
    const QList<Person> people = book->peopleWithEmail(address);
    if (people.isEmpty()) {
        return std::nullopt;
    }
    return people.first();
}

QString getStringFromPersonProperyByTrimmingAndManagingNullAndEmptyOnes(const std::optional<Person> &person,
                                                                        PersonProperty property)
{
    if (!person) {
        return QString();
    }
    const QString value = property == kABFirstNameProperty ? person->firstName : person->lastName;
    return trimmedText(value);
}
