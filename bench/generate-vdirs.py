#!/usr/bin/env python3
"""Writes vdir calendars for the benchmark: N events in 5 calendars, spread over the four years
before and the year after a given day. 10% repeat: weekly series with an excluded date and a moved
occurrence (most end after 3 to 12 months, one in twenty never ends), daily ones with COUNT,
monthly ones with UNTIL, yearly all-day birthdays; 30% have attendees, 15% are all-day; times are
in several zones (Europe/Paris, America/New_York, Asia/Tokyo, UTC). MEETINGS more events (default
none) lie on the given day itself, each with three attendees, and ONE (given as "one") puts all the
files into a single calendar.

Usage: generate-vdirs.py ROOT N YYYY-MM-DD [MEETINGS [one]]"""
import datetime as dt
import os
import random
import sys

root, count, day = sys.argv[1], int(sys.argv[2]), dt.date.fromisoformat(sys.argv[3])
meetings = int(sys.argv[4]) if len(sys.argv) > 4 else 0
rng = random.Random(count)  # the same files for the same size
calendars = ["personal", "work", "family", "sport", "shared"]
if len(sys.argv) > 5 and sys.argv[5] == "one":
    calendars = calendars[:1]
zones = ["Europe/Paris"] * 6 + ["America/New_York", "Asia/Tokyo", "UTC"]
first = day - dt.timedelta(days=4 * 365)
span_days = 5 * 365
stamp = "20240101T000000Z"

for name in calendars:
    os.makedirs(os.path.join(root, name), exist_ok=True)
    with open(os.path.join(root, name, "displayname"), "w") as f:
        f.write(name.capitalize() + "\n")


def when(date, hour, minute, zone):
    value = "%04d%02d%02dT%02d%02d00" % (date.year, date.month, date.day, hour, minute)
    if zone == "UTC":
        return ":" + value + "Z"
    return ";TZID=" + zone + ":" + value


def attendees(i):
    if rng.random() >= 0.3:
        return []
    return ["ATTENDEE;CN=Guest %d;PARTSTAT=NEEDS-ACTION:mailto:guest%d@example.org" % (i * 3 + k, i * 3 + k)
            for k in range(rng.randint(1, 3))]


for i in range(count):
    calendar = calendars[i % len(calendars)]
    uid = "bench-%06d@ruvelant.example" % i
    date = first + dt.timedelta(days=rng.randrange(span_days))
    hour, minute = rng.randint(7, 21), rng.choice([0, 15, 30, 45])
    zone = rng.choice(zones)
    lines = ["UID:" + uid, "DTSTAMP:" + stamp, "SUMMARY:Event %d" % i]
    extra = []
    kind = rng.random()
    if kind < 0.04:  # weekly, one excluded date and one moved occurrence
        rule = "RRULE:FREQ=WEEKLY"
        if rng.random() >= 0.05:
            until = date + dt.timedelta(weeks=rng.randint(13, 52))
            rule += ";UNTIL=%04d%02d%02dT235959Z" % (until.year, until.month, until.day)
        lines += ["DTSTART" + when(date, hour, minute, zone), "DTEND" + when(date, hour + 1, minute, zone),
                  rule, "EXDATE" + when(date + dt.timedelta(weeks=2), hour, minute, zone)]
        moved = date + dt.timedelta(weeks=3)
        extra = ["BEGIN:VEVENT", "UID:" + uid, "DTSTAMP:" + stamp, "SUMMARY:Event %d (moved)" % i,
                 "RECURRENCE-ID" + when(moved, hour, minute, zone),
                 "DTSTART" + when(moved + dt.timedelta(days=1), hour, minute, zone),
                 "DTEND" + when(moved + dt.timedelta(days=1), hour + 1, minute, zone), "END:VEVENT"]
    elif kind < 0.06:  # daily for ten days
        lines += ["DTSTART" + when(date, hour, minute, zone), "DURATION:PT45M", "RRULE:FREQ=DAILY;COUNT=10"]
    elif kind < 0.08:  # monthly for a year
        until = date + dt.timedelta(days=365)
        lines += ["DTSTART" + when(date, hour, minute, zone), "DTEND" + when(date, hour + 1, minute, zone),
                  "RRULE:FREQ=MONTHLY;UNTIL=%04d%02d%02dT235959Z" % (until.year, until.month, until.day)]
    elif kind < 0.10:  # a birthday
        lines += ["DTSTART;VALUE=DATE:" + date.strftime("%Y%m%d"),
                  "DTEND;VALUE=DATE:" + (date + dt.timedelta(days=1)).strftime("%Y%m%d"), "RRULE:FREQ=YEARLY"]
    elif kind < 0.25:  # all-day, one to three days
        lines += ["DTSTART;VALUE=DATE:" + date.strftime("%Y%m%d"),
                  "DTEND;VALUE=DATE:" + (date + dt.timedelta(days=rng.randint(1, 3))).strftime("%Y%m%d")]
    else:
        lines += ["DTSTART" + when(date, hour, minute, zone), "DTEND" + when(date, hour + 1, minute, zone)]
    lines += attendees(i)
    if rng.random() < 0.5:
        lines.append("DESCRIPTION:Notes for event %d" % i)
    text = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Ruvelant//Benchmark//EN", "BEGIN:VEVENT"] + lines
    text += ["END:VEVENT"] + extra + ["END:VCALENDAR"]
    with open(os.path.join(root, calendar, uid.split("@")[0] + ".ics"), "w", newline="") as f:
        f.write("\r\n".join(text) + "\r\n")

for i in range(meetings):
    calendar = calendars[i % len(calendars)]
    uid = "meeting-%06d@ruvelant.example" % i
    hour, minute = 8 + i % 10, 15 * (i % 4)
    text = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//Ruvelant//Benchmark//EN", "BEGIN:VEVENT",
            "UID:" + uid, "DTSTAMP:" + stamp, "SUMMARY:Meeting %d" % i,
            "DTSTART" + when(day, hour, minute, "Europe/Paris"), "DTEND" + when(day, hour + 1, minute, "Europe/Paris")]
    text += ["ATTENDEE;CN=Member %d;PARTSTAT=NEEDS-ACTION:mailto:member%d@example.org" % (i * 3 + k, i * 3 + k)
             for k in range(3)]
    text += ["END:VEVENT", "END:VCALENDAR"]
    with open(os.path.join(root, calendar, uid.split("@")[0] + ".ics"), "w", newline="") as f:
        f.write("\r\n".join(text) + "\r\n")
