#ifndef RUVELANT_CALDAVLIMITS_H
#define RUVELANT_CALDAVLIMITS_H

#include <QtGlobal>

#include <chrono>

// The bounds of every talk with a CalDAV server, in one place: no server, hostile or broken,
// can hold a discovery or a sync longer than these, or fill this computer's memory.
struct CalDavLimits
{
    // One answer to the discovery: its PROPFIND answers are a few kilobytes, a few hundred for
    // thousands of calendars.
    qint64 maxAnswerBytes = 4 * 1024 * 1024;
    // One request, from sending it to the last byte of its answer (a server that sends one byte
    // now and then is stopped too).
    std::chrono::milliseconds requestTime {30000};
    // The whole discovery, its redirections included.
    std::chrono::milliseconds discoveryTime {60000};
    // Redirections followed within one origin.
    int maxRedirects = 5;
    // One step of vdirsyncer (discover, sync, metasync), which may download a whole calendar.
    std::chrono::milliseconds syncStepTime {15 * 60 * 1000};
    // The memory vdirsyncer may take for its data: a calendar of tens of thousands of events
    // takes a few hundred megabytes; a server feeding it without end makes it fail at this.
    qint64 syncProgramMemory = qint64(1024) * 1024 * 1024;
};

#endif
