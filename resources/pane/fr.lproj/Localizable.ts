<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The texts that count something, in the plural forms of the language: the key (as in
     Localizable.strings) is the source text, %n the count. Built into Localizable.qm. -->
<TS version="2.1" language="fr">
<context>
    <name>Localizable</name>
    <message numerus="yes">
        <source>PreviewReminderCount</source>
        <translation>
            <numerusform>%n rappel</numerusform>
            <numerusform>%n rappels</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>PreviewDayCount</source>
        <translation>
            <numerusform>%n jour</numerusform>
            <numerusform>%n jours</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunHandedOver</source>
        <translation>
            <numerusform>%n rappel confié au système de messagerie</numerusform>
            <numerusform>%n rappels confiés au système de messagerie</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunEventsMarked</source>
        <translation>
            <numerusform>%n événement marqué (*)</numerusform>
            <numerusform>%n événements marqués (*)</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunFailed</source>
        <translation>
            <numerusform>%n rappel n'a pas pu partir : %1</numerusform>
            <numerusform>%n rappels n'ont pas pu partir : %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>RunNoAddress</source>
        <translation>
            <numerusform>%n participant sans adresse électronique</numerusform>
            <numerusform>%n participants sans adresse électronique</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryMinutes</source>
        <translation>
            <numerusform>chaque minute</numerusform>
            <numerusform>toutes les %n minutes</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>ScheduleEveryHours</source>
        <translation>
            <numerusform>chaque heure</numerusform>
            <numerusform>toutes les %n heures</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>NotifyFailedSummary</source>
        <translation>
            <numerusform>Ruvelant n'a pas pu envoyer %n rappel</numerusform>
            <numerusform>Ruvelant n'a pas pu envoyer %n rappels</numerusform>
        </translation>
    </message>
</context>
</TS>
