#include "akonadiclient.h"

#include <Akonadi/Collection>
#include <Akonadi/CollectionFetchJob>
#include <Akonadi/ServerManager>
#include <Akonadi/Session>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

Q_LOGGING_CATEGORY(lcAkonadi, "ruvelant.akonadi", QtInfoMsg)

namespace {
QThread *s_thread = nullptr;

void stopClientThread()
{
    if (!s_thread)
        return;
    // The thread's Akonadi session goes with its thread, on that thread.
    s_thread->quit();
    s_thread->wait();
    delete s_thread;
    s_thread = nullptr;
}

// The one thread of the process where Akonadi sessions, jobs and monitors live; stopped when the
// application ends.
QThread *clientThread()
{
    if (!s_thread) {
        s_thread = new QThread;
        s_thread->setObjectName(QStringLiteral("Akonadi client"));
        s_thread->start();
        qAddPostRoutine(stopClientThread);
    }
    return s_thread;
}

// Whether this process has a session bus to ask, without starting one: an address, or the
// user's bus at its standard place. (Without either, connecting would try to launch a bus.)
bool sessionBusKnown()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

int remaining(const QDeadlineTimer &deadline)
{
    return int(std::max<qint64>(deadline.remainingTime(), 0));
}

// A call of the bus that never starts the service it names; its reply or error.
QDBusMessage ask(QDBusConnection &bus, QDBusMessage message, const QDeadlineTimer &deadline)
{
    message.setAutoStartService(false);
    return bus.call(message, QDBus::Block, std::max(remaining(deadline), 1));
}
} // namespace

AkonadiClient::AkonadiClient() : m_context(new QObject)
{
    m_context->moveToThread(clientThread());
}

AkonadiClient::~AkonadiClient()
{
    QObject *context = m_context;
    call([context] { delete context; });
}

void AkonadiClient::call(const std::function<void()> &work) const
{
    // Once the application ended, its thread is gone: what is left (a client that outlived the
    // application, being deleted) is done here.
    if (QThread::currentThread() == m_context->thread() || !s_thread || !s_thread->isRunning())
        work();
    else
        QMetaObject::invokeMethod(m_context, work, Qt::BlockingQueuedConnection);
}

std::unique_ptr<AkonadiClient> AkonadiClient::connect(int timeoutMs, QString *why)
{
    const QDeadlineTimer deadline(timeoutMs);
    const auto fail = [why](const QString &reason) {
        qCDebug(lcAkonadi, "Akonadi is not used: %s", qPrintable(reason));
        if (why)
            *why = reason;
        return std::unique_ptr<AkonadiClient>();
    };
    if (!QCoreApplication::instance())
        return fail(QStringLiteral("the program has no application object"));
    if (!sessionBusKnown())
        return fail(QStringLiteral("there is no session bus"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("the session bus cannot be reached (%1)").arg(bus.lastError().message()));
    const auto owned = [&](const QString &name, bool *held) {
        const QDBusMessage reply
            = ask(bus,
                  QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                 QStringLiteral("/org/freedesktop/DBus"),
                                                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"))
                      << name,
                  deadline);
        *held = reply.arguments().value(0).toBool();
        return reply.type() == QDBusMessage::ReplyMessage;
    };
    // A running server holds the names of its control process and of the server itself. One that
    // holds the first alone (or its start lock) is starting: it is waited for, within the bound.
    // Asking the bus about a name, or pinging it, never starts a service.
    const QString controlName = Akonadi::ServerManager::serviceName(Akonadi::ServerManager::Control);
    const QString serverName = Akonadi::ServerManager::serviceName(Akonadi::ServerManager::Server);
    const QString lockName = Akonadi::ServerManager::serviceName(Akonadi::ServerManager::ControlLock);
    for (;;) {
        bool control = false, server = false, lock = false;
        if (!owned(controlName, &control) || !owned(serverName, &server) || !owned(lockName, &lock))
            return fail(QStringLiteral("the session bus does not answer"));
        if (control && server)
            break;
        if (!control && !lock)
            return fail(QStringLiteral("no Akonadi server runs"));
        if (deadline.hasExpired())
            return fail(QStringLiteral("the Akonadi server is still starting"));
        QThread::msleep(std::min(100, remaining(deadline)));
    }
    for (const QString &name : {controlName, serverName}) {
        const QDBusMessage reply
            = ask(bus,
                  QDBusMessage::createMethodCall(name, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"),
                                                 QStringLiteral("Ping")),
                  deadline);
        if (reply.type() != QDBusMessage::ReplyMessage)
            return fail(QStringLiteral("the Akonadi server does not answer (%1)").arg(reply.errorMessage()));
    }
    std::unique_ptr<AkonadiClient> client(new AkonadiClient);
    bool answered = false;
    QString error;
    client->call([&] {
        // The thread's default session is made now that a server runs: made later, while none
        // runs, it (or a monitor that uses it) would start one.
        Akonadi::Session::defaultSession();
        const std::unique_ptr<KJob> job(
            new Akonadi::CollectionFetchJob(Akonadi::Collection::root(), Akonadi::CollectionFetchJob::Base));
        answered = client->run(job.get(), &error, std::max(remaining(deadline), 1));
    });
    if (!answered)
        return fail(QStringLiteral("the Akonadi server does not answer (%1)").arg(error));
    return client;
}

bool AkonadiClient::run(KJob *job, QString *error, int timeoutMs) const
{
    job->setAutoDelete(false);
    if (!m_stuckUntil.hasExpired()) {
        job->kill(KJob::Quietly);
        *error = QStringLiteral("the Akonadi server did not answer a moment ago");
        return false;
    }
    QEventLoop loop;
    bool ended = false;
    QObject::connect(job, &KJob::result, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs < 0 ? m_jobBound : timeoutMs);
    loop.exec();
    if (!ended) {
        job->kill(KJob::Quietly);
        m_stuckUntil = QDeadlineTimer(stuckPause);
        *error = QStringLiteral("no answer within %1 seconds").arg(timer.interval() / 1000.0);
        return false;
    }
    if (job->error()) {
        *error = job->errorString();
        return false;
    }
    return true;
}
