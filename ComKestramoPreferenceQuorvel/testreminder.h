#ifndef RUVELANT_TESTREMINDER_H
#define RUVELANT_TESTREMINDER_H

#include "calendarstore.h"

#include <QObject>
#include <QString>

class ComKestramoPreferenceQuorvelModel;

// A reminder of a sample event, made from the current templates as the agent makes its
// reminders and handed to the mail system the same way, sent to the user's own address. It
// touches no calendar and no setting; the sending runs beside the window.
class TestReminder : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~TestReminder() override;

    // Where the test goes: the chosen sender, else the first of the user's own addresses; empty
    // when the user has none.
    static QString recipient(const ComKestramoPreferenceQuorvelModel &model);
    // The sample event: title, at 10:00 on the day that a run at now reminds.
    static Event sampleEvent(const ComKestramoPreferenceQuorvelModel &model, const QString &title,
                             const QDateTime &now);

    // Builds the reminder of the sample event for recipient and starts handing it over; finished
    // tells the outcome. Returns false (and sends nothing) while an earlier one is on its way.
    bool send(const ComKestramoPreferenceQuorvelModel &model, const Event &event, const QString &recipient);
    bool isSending() const { return m_sending; }

Q_SIGNALS:
    // taken: the mail system took the message; otherwise error says what went wrong.
    void finished(bool taken, const QString &error);

private:
    bool m_sending = false;
    class QThread *m_worker = nullptr;
};

#endif
