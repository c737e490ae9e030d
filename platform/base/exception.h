#ifndef RUVELANT_EXCEPTION_H
#define RUVELANT_EXCEPTION_H

#include <QByteArray>
#include <QString>

#include <exception>

// An exception with a name and a reason, as the platform's exception class has them. Nothing
// below an application throws these; an application that does lets the event loop's top report
// them (see Application).
class Exception : public std::exception
{
public:
    Exception(const QString &name, const QString &reason)
        : m_name(name), m_reason(reason), m_what((name + QStringLiteral(": ") + reason).toUtf8())
    {
    }

    QString name() const { return m_name; }
    QString reason() const { return m_reason; }
    // "name: reason"
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_name;
    QString m_reason;
    QByteArray m_what;
};

#endif
