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
    TemporaryFailure, // not taken, and a later try may succeed (no mail system, "try again later")
    PermanentFailure, // refused for good (an unsafe or malformed address, any other refusal)
};

// Hands one reminder with one recipient to the mail system, without showing it. The sender is
// set, untrimmed, only when it holds more than white space. Every failure is logged at error level.
HandOver sendMailCocoa(const QString &sender, const QString &to, const QString &subject, const QString &content);

// Releases the per-run state (the mail application and the user's own addresses); the run calls
// it when it starts and when it ends. sendTimeout: how long one hand-over may take before it is
// stopped (and counts as a temporary failure).
void resetMailDelivery(std::chrono::milliseconds sendTimeout = std::chrono::seconds(60));

#endif
