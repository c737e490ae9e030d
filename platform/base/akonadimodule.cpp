#include "akonadimodule.h"

#include "sessionbus.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QLoggingCategory>
#include <QMutex>

#include <dbus/dbus.h>

#include <algorithm>

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
    // Without a known bus, connecting would try to launch one.
    const QString address = sessionBusAddress();
    if (address.isEmpty())
        return no(QStringLiteral("there is no session bus"));
    // A bus that did not answer is not asked again by this process: each store would wait anew.
    static QMutex mutex;
    static QString silent;
    {
        const QMutexLocker locker(&mutex);
        if (silent == address)
            return no(QStringLiteral("the session bus did not answer"));
    }
    // A private connection of libdbus, made and closed here, so that the whole exchange keeps to
    // the bound (Qt's connection waits without a limit for a bus that takes it and never answers),
    // on the bus of the environment as it is now (Qt's shared connection keeps the first it found).
    const QDeadlineTimer deadline(askBound);
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(address.toUtf8().constData(), &error);
    if (!bus) {
        const QString message = QString::fromUtf8(error.message);
        dbus_error_free(&error);
        return no(QStringLiteral("the session bus cannot be reached (%1)").arg(message));
    }
    dbus_connection_set_exit_on_disconnect(bus, false);
    // libdbus bounds a call's wait for its reply, not the authentication before it: that is
    // driven here, within the bound.
    while (!dbus_connection_get_is_authenticated(bus) && dbus_connection_get_is_connected(bus)
           && !deadline.hasExpired())
        dbus_connection_read_write(bus, int(std::max<qint64>(deadline.remainingTime(), 1)));
    const auto call = [&](const char *method, const char *name) -> DBusMessage * {
        DBusMessage *message = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", method);
        dbus_message_set_auto_start(message, false);
        if (name)
            dbus_message_append_args(message, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        const int wait = int(std::max<qint64>(deadline.remainingTime(), 1));
        DBusMessage *reply = dbus_connection_send_with_reply_and_block(bus, message, wait, &error);
        dbus_message_unref(message);
        return reply;
    };
    dbus_bool_t owned = false;
    bool answered = false;
    if (!dbus_connection_get_is_authenticated(bus))
        dbus_set_error_const(&error, DBUS_ERROR_TIMEOUT, "the authentication did not end in time");
    else if (DBusMessage *hello = call("Hello", nullptr)) {
        dbus_message_unref(hello);
        if (DBusMessage *reply = call("NameHasOwner", "org.freedesktop.Akonadi.Control")) {
            answered = dbus_message_get_args(reply, &error, DBUS_TYPE_BOOLEAN, &owned, DBUS_TYPE_INVALID);
            dbus_message_unref(reply);
        }
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    if (!answered) {
        const QString message = QString::fromUtf8(error.message);
        dbus_error_free(&error);
        const QMutexLocker locker(&mutex);
        silent = address;
        return no(QStringLiteral("the session bus does not answer (%1)").arg(message));
    }
    if (!owned)
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
