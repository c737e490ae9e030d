// A notification service for tests: owns org.freedesktop.Notifications on the session bus,
// writes each notification it is given to a file, and runs a program meanwhile.
//
//   helper_notificationserver RECORD [--answer KEY] [--without-bus] -- PROGRAM [ARGUMENT...]
//
// RECORD gets one line per notification: "summary|body|actions". With --answer, the user's
// choice of action KEY is reported for each. PROGRAM runs with the bus, or --without-bus not;
// once it has ended and no notification came for two seconds, the service ends with its status.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cstdio>

class NotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    NotificationService(const QString &record, const QString &answer) : m_record(record), m_answer(answer) { }
    QElapsedTimer sinceLast;

public Q_SLOTS:
    Q_SCRIPTABLE uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                             const QStringList &actions, const QVariantMap &, int)
    {
        QFile file(m_record);
        if (file.open(QIODevice::Append)) {
            file.write(
                (QStringList {summary, body, actions.join(QLatin1Char(','))}.join(QLatin1Char('|')) + QLatin1Char('\n'))
                    .toUtf8());
        }
        const uint id = ++m_last;
        sinceLast.restart();
        if (!m_answer.isEmpty()) {
            QTimer::singleShot(100, this, [this, id] {
                emitSignal(QStringLiteral("ActionInvoked"), {id, m_answer});
                emitSignal(QStringLiteral("NotificationClosed"), {id, 2u});
            });
        }
        return id;
    }
    Q_SCRIPTABLE QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
    Q_SCRIPTABLE void CloseNotification(uint id) { emitSignal(QStringLiteral("NotificationClosed"), {id, 3u}); }

private:
    void emitSignal(const QString &name, const QVariantList &arguments)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                         QStringLiteral("org.freedesktop.Notifications"), name);
        signal.setArguments(arguments);
        QDBusConnection::sessionBus().send(signal);
    }

    QString m_record;
    QString m_answer;
    uint m_last = 0;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const int separator = arguments.indexOf(QStringLiteral("--"));
    if (arguments.isEmpty() || separator < 1 || separator + 1 >= arguments.size()) {
        std::fprintf(stderr, "usage: helper_notificationserver RECORD [--answer KEY] [--without-bus] -- PROGRAM...\n");
        return 2;
    }
    const QStringList program = arguments.mid(separator + 1);
    const QStringList options = arguments.mid(1, separator - 1);
    const int answerAt = options.indexOf(QStringLiteral("--answer"));
    NotificationService service(arguments.first(), answerAt >= 0 ? options.value(answerAt + 1) : QString());
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                            QDBusConnection::ExportScriptableSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fprintf(stderr, "helper_notificationserver: %s\n", qPrintable(bus.lastError().message()));
        return 2;
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    if (options.contains(QStringLiteral("--without-bus"))) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        child.setProcessEnvironment(environment);
    }
    int status = -1;
    bool ended = false;
    QObject::connect(&child, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app,
                     [&](int code, QProcess::ExitStatus how) {
                         status = how == QProcess::NormalExit ? code : -1;
                         ended = true;
                         service.sinceLast.restart();
                     });
    QTimer quiet;
    QObject::connect(&quiet, &QTimer::timeout, &app, [&] {
        if (ended && service.sinceLast.elapsed() > 2000) {
            QCoreApplication::exit(status);
        }
    });
    quiet.start(100);
    service.sinceLast.start();
    child.start(program.first(), program.mid(1));
    return QCoreApplication::exec();
}

#include "helper_notificationserver.moc"
