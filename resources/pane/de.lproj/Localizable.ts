<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The texts that count something, in the plural forms of the language: the key (as in
     Localizable.strings) is the source text, %n the count. Built into Localizable.qm. -->
<TS version="2.1" language="de">
<context>
    <name>Localizable</name>
    <message numerus="yes">
        <source>PreviewReminderCount</source>
        <translation>
            <numerusform>%n Erinnerung</numerusform>
            <numerusform>%n Erinnerungen</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>PreviewDayCount</source>
        <translation>
            <numerusform>%n Tag</numerusform>
            <numerusform>%n Tage</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunHandedOver</source>
        <translation>
            <numerusform>%n Erinnerung dem Mailsystem übergeben</numerusform>
            <numerusform>%n Erinnerungen dem Mailsystem übergeben</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunEventsMarked</source>
        <translation>
            <numerusform>%n Termin mit (*) markiert</numerusform>
            <numerusform>%n Termine mit (*) markiert</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunFailed</source>
        <translation>
            <numerusform>%n Erinnerung konnte nicht verschickt werden: %1</numerusform>
            <numerusform>%n Erinnerungen konnten nicht verschickt werden: %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunNoAddress</source>
        <translation>
            <numerusform>%n Teilnehmer ohne E-Mail-Adresse</numerusform>
            <numerusform>%n Teilnehmer ohne E-Mail-Adresse</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryMinutes</source>
        <translation>
            <numerusform>jede Minute</numerusform>
            <numerusform>alle %n Minuten</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryHours</source>
        <translation>
            <numerusform>jede Stunde</numerusform>
            <numerusform>alle %n Stunden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>NotifyFailedSummary</source>
        <translation>
            <numerusform>Ruvelant konnte %n Erinnerung nicht verschicken</numerusform>
            <numerusform>Ruvelant konnte %n Erinnerungen nicht verschicken</numerusform>
        </translation>
    </message>
</context>
</TS>
