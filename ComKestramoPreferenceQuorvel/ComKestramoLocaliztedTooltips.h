#ifndef COMKESTRAMOLOCALIZTEDTOOLTIPS_H
#define COMKESTRAMOLOCALIZTEDTOOLTIPS_H

#include <QObject>
#include <QString>

// The pane's tooltip texts, one per control, each looked up afresh at every request in the
// default strings table of the bundle that holds this class; a key without an entry shows itself.
class ComKestramoLocaliztedTooltips : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString enableRuvelant READ enableRuvelant)
    Q_PROPERTY(QString emailSubject READ emailSubject)
    Q_PROPERTY(QString emailFrom READ emailFrom)
    Q_PROPERTY(QString emailContent READ emailContent)
    Q_PROPERTY(QString daysList READ daysList)
    Q_PROPERTY(QString insertDate READ insertDate)
    Q_PROPERTY(QString insertTime READ insertTime)
    Q_PROPERTY(QString insertLastName READ insertLastName)
    Q_PROPERTY(QString insertFirstName READ insertFirstName)
    Q_PROPERTY(QString alertNow READ alertNow)
    Q_PROPERTY(QString showLog READ showLog)
    Q_PROPERTY(QString calendarsTable READ calendarsTable)
    Q_PROPERTY(QString sendMissedReminders READ sendMissedReminders)
    Q_PROPERTY(QString creditsPath READ creditsPath)
public:
    using QObject::QObject;

    QString enableRuvelant() const;
    QString emailSubject() const;
    QString emailFrom() const;
    QString emailContent() const;
    QString daysList() const;
    QString insertDate() const;
    QString insertTime() const;
    QString insertLastName() const;
    QString insertFirstName() const;
    QString alertNow() const;
    QString showLog() const;
    QString calendarsTable() const;
    QString sendMissedReminders() const;
    // The full path of the "Credits" document (type "rtfd") in the bundle; null when it has none.
    QString creditsPath() const;
};

#endif
