<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The texts that count something, in the plural forms of the language: the key (as in
     Localizable.strings) is the source text, %n the count. Built into Localizable.qm. -->
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message numerus="yes">
        <source>PreviewReminderCount</source>
        <translation>
            <numerusform>%n reminder</numerusform>
            <numerusform>%n reminders</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>PreviewDayCount</source>
        <translation>
            <numerusform>%n day</numerusform>
            <numerusform>%n days</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunHandedOver</source>
        <translation>
            <numerusform>%n reminder handed to the mail system</numerusform>
            <numerusform>%n reminders handed to the mail system</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunEventsMarked</source>
        <translation>
            <numerusform>%n event marked with (*)</numerusform>
            <numerusform>%n events marked with (*)</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunFailed</source>
        <translation>
            <numerusform>%n reminder could not be sent: %1</numerusform>
            <numerusform>%n reminders could not be sent: %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunNoAddress</source>
        <translation>
            <numerusform>%n attendee without an e-mail address</numerusform>
            <numerusform>%n attendees without an e-mail address</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryMinutes</source>
        <translation>
            <numerusform>every minute</numerusform>
            <numerusform>every %n minutes</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryHours</source>
        <translation>
            <numerusform>every hour</numerusform>
            <numerusform>every %n hours</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>NotifyFailedSummary</source>
        <translation>
            <numerusform>Ruvelant could not send %n reminder</numerusform>
            <numerusform>Ruvelant could not send %n reminders</numerusform>
        </translation>
    </message>
</context>
</TS>
