#ifndef RUVELANT_VDIRNOTESEDIT_H
#define RUVELANT_VDIRNOTESEDIT_H

#include "calendarstore.h"
#include "icaltext.h"
#include "vdirparsedfile.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// The minimal textual edit of an event file that gives an event (or one occurrence of a
// repeating event) new notes, and its check.
namespace vdir {
// The edits that put the event's notes into file: into the component found, or as an override
// of the occurrence of master's series; its span (which the edits must keep) in *kept, the number
// of components they add in *added. A RANGE=THISANDFUTURE override found whose range goes on
// is split: it keeps its own occurrence alone, with the notes, and a copy of it carries the
// range on, with its notes, from the next occurrence that takes its properties from it. nullopt
// with *error when they cannot be made.
std::optional<QList<ICalText::Edit>> notesEdit(const ParsedFile &file, const Event &event, const ParsedEvent *found,
                                               const ParsedEvent *master, std::pair<QDateTime, QDateTime> *kept,
                                               int *added, QString *error);

// The edits that put bare components into a VCALENDAR, around the edits that add a component
// (two top-level components are no iCalendar object that other programs read). Nothing else is
// added: the file gains no VERSION or PRODID it did not have.
QList<ICalText::Edit> wrapped(const ICalText &text, QList<ICalText::Edit> edits);

// Whether the edited file check reads back as intended: the same events as file and the added
// ones, the event with its new notes, and its occurrence where it was.
bool readsBack(const ParsedFile &check, const ParsedFile &file, const Event &event, int added,
               const std::pair<QDateTime, QDateTime> &kept);
} // namespace vdir

#endif
