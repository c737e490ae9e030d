#include "akonadimodule.h"

#include "sessionbus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QLoggingCategory>
#include <QMutex>

Q_LOGGING_CATEGORY(lcAkonadiModule, "ruvelant.akonadimodule", QtInfoMsg)

const char AkonadiModule::fileName[] = "libruvelant-akonadi.so";

namespace {
// How long the bus may take to say whether the name has an owner, in milliseconds.
constexpr int askBound = 1000;

QLibrary *loaded(QString *why)
{
    static QMutex mutex;
    const QMutexLocker locker(&mutex);
    static QLibrary *library = nullptr;
    static QString failure;
    if (library || !failure.isEmpty()) {
        *why = failure;
        return library;
    }
    for (const QString &folder : AkonadiModule::folders()) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(AkonadiModule::fileName);
        if (!QFileInfo(path).isFile())
            continue;
        auto *candidate = new QLibrary(path);
        // Its stores and their threads live as long as the process.
        candidate->setLoadHints(QLibrary::PreventUnloadHint);
        if (candidate->load()) {
            qCDebug(lcAkonadiModule, "loaded %s", qPrintable(path));
            library = candidate;
            return library;
        }
        failure = QStringLiteral("%1 cannot be loaded: %2").arg(path, candidate->errorString());
        delete candidate;
        *why = failure;
        return nullptr;
    }
    failure = QStringLiteral("%1 is in none of %2")
                  .arg(QLatin1String(AkonadiModule::fileName), AkonadiModule::folders().join(QStringLiteral(", ")));
    *why = failure;
    return nullptr;
}
} // namespace

bool AkonadiModule::serverRuns(QString *why)
{
    const auto no = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    // Without a known bus, connecting would try to launch one; without an application, Qt's bus
    // connection has no thread to run on.
    const QString address = sessionBusAddress();
    if (address.isEmpty())
        return no(QStringLiteral("there is no session bus"));
    if (!QCoreApplication::instance())
        return no(QStringLiteral("the program has no application object"));
    // A connection of its own, made and closed here, to the bus of the environment as it is now
    // (the process's shared connection keeps the bus it first found).
    static QAtomicInt made;
    const QString busConnectionName = QStringLiteral("ruvelant.akonadimodule.%1").arg(made.fetchAndAddRelaxed(1));
    QDBusConnection bus = QDBusConnection::connectToBus(address, busConnectionName);
    if (!bus.isConnected()) {
        const QString error = bus.lastError().message();
        QDBusConnection::disconnectFromBus(busConnectionName);
        return no(QStringLiteral("the session bus cannot be reached (%1)").arg(error));
    }
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << QStringLiteral("org.freedesktop.Akonadi.Control");
    ask.setAutoStartService(false);
    const QDBusMessage reply = bus.call(ask, QDBus::Block, askBound);
    QDBusConnection::disconnectFromBus(busConnectionName);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return no(QStringLiteral("the session bus does not answer (%1)").arg(reply.errorMessage()));
    if (!reply.arguments().value(0).toBool())
        return no(QStringLiteral("no Akonadi server runs on the session bus"));
    return true;
}

QStringList AkonadiModule::folders()
{
    const QDir program(QCoreApplication::applicationDirPath());
    QStringList folders {QDir::cleanPath(program.filePath(QStringLiteral("../lib/ruvelant"))),
                         QDir::cleanPath(program.filePath(QStringLiteral("../../../lib/ruvelant"))),
                         QStringLiteral(RUVELANT_INSTALL_PREFIX "/lib/ruvelant"),
                         QStringLiteral(RUVELANT_PACKAGE_PREFIX "/lib/ruvelant")};
    folders.removeDuplicates();
    return folders;
}

QFunctionPointer AkonadiModule::function(const char *name)
{
    QString why;
    if (!serverRuns(&why)) {
        qCDebug(lcAkonadiModule, "not loaded: %s", qPrintable(why));
        return nullptr;
    }
    QLibrary *library = loaded(&why);
    if (!library) {
        qCDebug(lcAkonadiModule, "not loaded: %s", qPrintable(why));
        return nullptr;
    }
    const QFunctionPointer found = library->resolve(name);
    if (!found)
        qCDebug(lcAkonadiModule, "%s has no function %s", qPrintable(library->fileName()), name);
    return found;
}
