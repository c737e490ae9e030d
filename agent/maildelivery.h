#ifndef RUVELANT_MAILDELIVERY_H
#define RUVELANT_MAILDELIVERY_H

#include <QString>

#include <chrono>

struct Attendee;

// The address of an attendee whose URL begins with "mailto:" (every "mailto:" removed, nothing
// else changed); a null text when the URL is anything else.
QString mailFromAttendee(const Attendee &attendee);

// Whether address is one of the addresses of the address book's "me" card, compared exactly.
// The card is read at the first call of a run and not again until resetMailDelivery().
bool mailIsMine(const QString &address);

// What became of one reminder handed to the mail system.
enum class HandOver {
    Taken, // the mail system took it
    // Not taken, and a later try may succeed: no mail system, or any failure of it (no network,
    // an unknown host, its configuration or login, a crash, no answer in time), or a sender in
    // the settings that cannot be used.
    TemporaryFailure,
    // The recipient's address refused for good: unsafe or malformed, or refused by the mail
    // system (see MailApplication::refusesRecipient).
    PermanentFailure,
};

// Hands one reminder with one recipient to the mail system, without showing it. The sender is
// set, untrimmed, only when it holds more than white space. Every failure is logged at error level.
HandOver sendMailCocoa(const QString &sender, const QString &to, const QString &subject, const QString &content);

// Releases the per-run state (the mail application and the user's own addresses); the run calls
// it when it starts and when it ends. sendTimeout: how long one hand-over may take before it is
// stopped (and counts as a temporary failure).
void resetMailDelivery(std::chrono::milliseconds sendTimeout = std::chrono::seconds(60));

#endif
