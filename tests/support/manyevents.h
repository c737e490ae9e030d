#ifndef RUVELANT_MANYEVENTS_H
#define RUVELANT_MANYEVENTS_H

#include "icaltext.h"
#include "smtpsink.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QDir>
#include <QHash>

// A calendar "home" of many events for the tests of whole runs against other programs and
// interruptions: count events on the day that a run started now searches, event<N>.ics with the
// attendees eNa@example.org and eNb@example.org; every tenth one repeats daily, so that marking
// it adds an override to its file. Also writes the usual settings.
inline void writeManyEvents(ThrowAwayHome &home, int count)
{
    const QDate day = QDateTime::currentDateTime().addSecs(4 * 86400).date();
    for (int i = 0; i < count; ++i) {
        const QByteArray n = QByteArray::number(i);
        const bool repeats = i % 10 == 0;
        const QDate first = repeats ? day.addDays(-3) : day;
        home.writeFile(QStringLiteral(".local/share/calendars/home/event%1.ics").arg(i),
                       "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:event" + n
                           + "\r\nDTSTAMP:20100101T000000Z\r\nSUMMARY:Event " + n
                           + "\r\nDTSTART:" + first.toString(QStringLiteral("yyyyMMdd")).toLatin1()
                           + "T080000\r\nDURATION:PT1H\r\n" + (repeats ? "RRULE:FREQ=DAILY;COUNT=7\r\n" : "")
                           + "ATTENDEE:mailto:e" + n + "a@example.org\r\nATTENDEE:mailto:e" + n
                           + "b@example.org\r\nDESCRIPTION:Notes " + n + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n");
    }
    home.writeFile(QStringLiteral(".local/share/calendars/home/displayname"), "Home\n");
    storePreferences();
}

// The event files of "home" by name; a file that does not read back as iCalendar is left out.
inline QHash<QString, QByteArray> eventFiles(const ThrowAwayHome &home)
{
    QHash<QString, QByteArray> files;
    const QDir folder(home.calendarsPath() + QStringLiteral("/home"));
    for (const QString &name : folder.entryList({QStringLiteral("*.ics")}, QDir::Files)) {
        const QByteArray bytes = readFile(folder.filePath(name));
        if (ICalText::parse(bytes, nullptr))
            files.insert(name, bytes);
    }
    return files;
}

// How many messages each recipient received (by the envelope: a message cut short counts too).
inline QHash<QString, int> deliveries(const SmtpSink &sink)
{
    QHash<QString, int> received;
    for (const QByteArray &raw : sink.rawMessages())
        ++received[QString::fromUtf8(SmtpSink::header(raw, "X-RcptTo"))];
    return received;
}

#endif
