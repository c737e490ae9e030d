#ifndef RUVELANT_COMPOSITION_H
#define RUVELANT_COMPOSITION_H

#include "addressbook.h"

#include <QString>

#include <optional>

class ComKestramoPreferenceQuorvelModel;
struct Event;

// The properties of a card that a reminder reads.
enum PersonProperty { kABFirstNameProperty, kABLastNameProperty };

// The reminder's subject: the trimmed subject template with "<<date>>" as the short date of the
// event start, or the built-in subject when the template is blank.
QString buildReminderSubject(const ComKestramoPreferenceQuorvelModel &model, const Event &event);
// The same from the subject template itself.
QString buildReminderSubject(const QString &mailTitle, const Event &event);

// The reminder's body: the trimmed body template with "<<date>>" (long date), "<<time>>"
// (short time), "<<first>>" and "<<last>>" (the recipient's names), or the built-in body when
// the template is blank.
QString buildReminderBody(const ComKestramoPreferenceQuorvelModel &model, const Event &event, const QString &address);

// The built-in subject and body, for a blank template, with the dates and time given as texts.
QString builtInReminderSubject(const QString &shortDate);
QString builtInReminderBody(const QString &longDate, const QString &shortTime);

// The first card of the user's address book with an e-mail address equal to address.
std::optional<Person> mailOwner(const QString &address);

// The trimmed value of the person's property, or the empty text.
QString getStringFromPersonProperyByTrimmingAndManagingNullAndEmptyOnes(const std::optional<Person> &person,
                                                                        PersonProperty property);

#endif
