#include "edsfixture.h"

#include <libebook/libebook.h>
#include <libecal/libecal.h>

#include <QElapsedTimer>
#include <QHash>
#include <QThread>
#include <QtGlobal>

#include <functional>

namespace {
void warn(const char *what, GError *error)
{
    qWarning("EDS: %s: %s", what, error ? error->message : "failed");
    g_clear_error(&error);
}
} // namespace

struct EdsFixture::Private
{
    ESourceRegistry *registry = nullptr;
    QStringList made;

    ESource *source(const QString &uid) { return e_source_registry_ref_source(registry, uid.toUtf8().constData()); }

    bool commit(ESource *source)
    {
        GError *error = nullptr;
        const bool done = e_source_registry_commit_source_sync(registry, source, nullptr, &error);
        if (!done)
            warn("commit", error);
        // The registry tells of the new source a moment later.
        QElapsedTimer waited;
        waited.start();
        while (done && waited.elapsed() < 10000) {
            ESource *known = e_source_registry_ref_source(registry, e_source_get_uid(source));
            if (known) {
                g_object_unref(known);
                break;
            }
            g_main_context_iteration(nullptr, FALSE);
            QThread::msleep(20);
        }
        return done;
    }

    // The calendar opened, and kept open while the fixture lives: EDS keeps its backend running
    // for the code under test, which then opens it as quickly as a desktop's calendar.
    QHash<QString, ECalClient *> clients;
    ECalClient *client(const QString &uid)
    {
        if (ECalClient *known = clients.value(uid))
            return known;
        ESource *found = source(uid);
        if (!found)
            return nullptr;
        GError *error = nullptr;
        EClient *client = nullptr;
        // The calendar factory learns of a new calendar from the registry a moment after this
        // process does.
        for (int attempt = 0; attempt < 50 && !client; ++attempt) {
            if (attempt > 0)
                QThread::msleep(200);
            g_clear_error(&error);
            client = e_cal_client_connect_sync(found, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, 30, nullptr, &error);
        }
        g_object_unref(found);
        if (!client) {
            warn("connect", error);
            return nullptr;
        }
        clients.insert(uid, E_CAL_CLIENT(client));
        return E_CAL_CLIENT(client);
    }
    void close(const QString &uid)
    {
        if (ECalClient *known = clients.take(uid))
            g_object_unref(known);
    }

    bool add(const QString &uid, const QString &title, const char *parent, const char *backend,
             const std::function<void(ESource *)> &extra = {})
    {
        GError *error = nullptr;
        ESource *source = e_source_new_with_uid(uid.toUtf8().constData(), nullptr, &error);
        if (!source) {
            warn("new source", error);
            return false;
        }
        e_source_set_display_name(source, title.toUtf8().constData());
        e_source_set_parent(source, parent);
        auto *calendar = static_cast<ESourceCalendar *>(e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR));
        e_source_backend_set_backend_name(E_SOURCE_BACKEND(calendar), backend);
        if (extra)
            extra(source);
        const bool done = commit(source);
        g_object_unref(source);
        if (done)
            made.append(uid);
        return done;
    }
};

EdsFixture::EdsFixture() : d(new Private) { }

EdsFixture::~EdsFixture()
{
    for (const QString &uid : QStringList(d->made))
        remove(uid);
    for (ECalClient *client : std::as_const(d->clients))
        g_object_unref(client);
    if (d->registry)
        g_object_unref(d->registry);
    delete d;
}

bool EdsFixture::connect()
{
    GError *error = nullptr;
    if (!d->registry)
        d->registry = e_source_registry_new_sync(nullptr, &error);
    if (!d->registry)
        warn("registry", error);
    return d->registry;
}

bool EdsFixture::addLocalCalendar(const QString &uid, const QString &title)
{
    return d->add(uid, title, "local-stub", "local");
}

bool EdsFixture::addReadOnlyCalendar(const QString &uid, const QString &title, const QString &path)
{
    return d->add(uid, title, "local-stub", "local", [&path](ESource *source) {
        auto *local = static_cast<ESourceLocal *>(e_source_get_extension(source, E_SOURCE_EXTENSION_LOCAL_BACKEND));
        GFile *file = g_file_new_for_path(path.toUtf8().constData());
        e_source_local_set_custom_file(local, file);
        e_source_local_set_writable(local, FALSE);
        g_object_unref(file);
    });
}

bool EdsFixture::addCalDavCalendar(const QString &uid, const QString &title, const QString &url)
{
    return d->add(uid, title, "caldav-stub", "caldav", [&url](ESource *source) {
        auto *webdav = static_cast<ESourceWebdav *>(e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND));
        GUri *uri = g_uri_parse(url.toUtf8().constData(), G_URI_FLAGS_NONE, nullptr);
        e_source_webdav_set_uri(webdav, uri);
        g_uri_unref(uri);
        auto *offline = static_cast<ESourceOffline *>(e_source_get_extension(source, E_SOURCE_EXTENSION_OFFLINE));
        e_source_offline_set_stay_synchronized(offline, TRUE);
    });
}

bool EdsFixture::rename(const QString &uid, const QString &title)
{
    ESource *source = d->source(uid);
    if (!source)
        return false;
    e_source_set_display_name(source, title.toUtf8().constData());
    GError *error = nullptr;
    const bool done = e_source_write_sync(source, nullptr, &error);
    if (!done)
        warn("rename", error);
    g_object_unref(source);
    return done;
}

bool EdsFixture::setEnabled(const QString &uid, bool enabled)
{
    ESource *source = d->source(uid);
    if (!source)
        return false;
    e_source_set_enabled(source, enabled);
    GError *error = nullptr;
    const bool done = e_source_write_sync(source, nullptr, &error);
    if (!done)
        warn("enable", error);
    g_object_unref(source);
    return done;
}

bool EdsFixture::remove(const QString &uid)
{
    d->close(uid);
    ESource *source = d->source(uid);
    if (!source)
        return false;
    GError *error = nullptr;
    const bool done = e_source_remove_sync(source, nullptr, &error);
    if (!done)
        warn("remove", error);
    g_object_unref(source);
    d->made.removeAll(uid);
    return done;
}

bool EdsFixture::addEvents(const QString &calendarUid, const QByteArray &icalendar)
{
    ECalClient *client = d->client(calendarUid);
    if (!client)
        return false;
    ICalComponent *calendar = i_cal_component_new_from_string(icalendar.constData());
    bool done = calendar != nullptr;
    GError *error = nullptr;
    for (ICalComponent *zone
         = calendar ? i_cal_component_get_first_component(calendar, I_CAL_VTIMEZONE_COMPONENT) : nullptr;
         zone && done; zone = i_cal_component_get_next_component(calendar, I_CAL_VTIMEZONE_COMPONENT)) {
        ICalTimezone *timezone = i_cal_timezone_new();
        i_cal_timezone_set_component(timezone, zone);
        done = e_cal_client_add_timezone_sync(client, timezone, nullptr, &error);
        g_object_unref(timezone);
        g_object_unref(zone);
    }
    // The masters first, then the overrides of single occurrences.
    for (const bool overrides : {false, true}) {
        for (ICalComponent *event
             = calendar ? i_cal_component_get_first_component(calendar, I_CAL_VEVENT_COMPONENT) : nullptr;
             event && done; event = i_cal_component_get_next_component(calendar, I_CAL_VEVENT_COMPONENT)) {
            if (e_cal_util_component_is_instance(event) == overrides) {
                if (overrides) {
                    done = e_cal_client_modify_object_sync(client, event, E_CAL_OBJ_MOD_THIS,
                                                           E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE, nullptr, &error);
                } else {
                    gchar *uid = nullptr;
                    done = e_cal_client_create_object_sync(client, event, E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE,
                                                           &uid, nullptr, &error);
                    g_free(uid);
                    if (!done
                        && g_error_matches(error, E_CAL_CLIENT_ERROR, E_CAL_CLIENT_ERROR_OBJECT_ID_ALREADY_EXISTS)) {
                        g_clear_error(&error);
                        done = e_cal_client_modify_object_sync(client, event, E_CAL_OBJ_MOD_ALL,
                                                               E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE, nullptr,
                                                               &error);
                    }
                }
            }
            g_object_unref(event);
        }
    }
    if (!done)
        warn("add events", error);
    if (calendar)
        g_object_unref(calendar);
    return done;
}

bool EdsFixture::removeEvent(const QString &calendarUid, const QString &eventUid)
{
    ECalClient *client = d->client(calendarUid);
    GError *error = nullptr;
    const bool done = client
        && e_cal_client_remove_object_sync(client, eventUid.toUtf8().constData(), nullptr, E_CAL_OBJ_MOD_ALL,
                                           E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE, nullptr, &error);
    if (client && !done)
        warn("remove event", error);
    return done;
}

QList<QByteArray> EdsFixture::components(const QString &calendarUid, const QString &eventUid)
{
    QList<QByteArray> result;
    ECalClient *client = d->client(calendarUid);
    if (!client)
        return result;
    GSList *found = nullptr;
    GError *error = nullptr;
    if (e_cal_client_get_objects_for_uid_sync(client, eventUid.toUtf8().constData(), &found, nullptr, &error)) {
        for (GSList *item = found; item; item = item->next) {
            gchar *text = e_cal_component_get_as_string(E_CAL_COMPONENT(item->data));
            result.append(QByteArray(text));
            g_free(text);
        }
        g_slist_free_full(found, g_object_unref);
    } else {
        g_clear_error(&error);
    }
    return result;
}

bool EdsFixture::refresh(const QString &calendarUid, const QString &eventUid)
{
    ECalClient *client = d->client(calendarUid);
    if (!client)
        return false;
    GError *error = nullptr;
    e_client_refresh_sync(E_CLIENT(client), nullptr, &error);
    g_clear_error(&error);
    bool found = false;
    QElapsedTimer waited;
    waited.start();
    while (!found && waited.elapsed() < 30000) {
        ICalComponent *component = nullptr;
        found
            = e_cal_client_get_object_sync(client, eventUid.toUtf8().constData(), nullptr, &component, nullptr, &error);
        g_clear_error(&error);
        if (component)
            g_object_unref(component);
        if (!found)
            QThread::msleep(200);
    }
    return found;
}

bool EdsFixture::setSelfContact(const QString &contactUid)
{
    GSettings *settings = g_settings_new("org.gnome.evolution-data-server.addressbook");
    const bool done = g_settings_set_string(settings, "self-contact-uid", contactUid.toUtf8().constData());
    g_settings_sync();
    g_object_unref(settings);
    return done;
}

bool EdsFixture::addContact(const QString &vcard, QString *uid)
{
    ESource *source = e_source_registry_ref_builtin_address_book(d->registry);
    GError *error = nullptr;
    EClient *client = e_book_client_connect_sync(source, 10, nullptr, &error);
    g_object_unref(source);
    if (!client) {
        warn("address book", error);
        return false;
    }
    EContact *contact = e_contact_new_from_vcard(vcard.toUtf8().constData());
    gchar *added = nullptr;
    const bool done = e_book_client_add_contact_sync(E_BOOK_CLIENT(client), contact, E_BOOK_OPERATION_FLAG_NONE, &added,
                                                     nullptr, &error);
    if (!done)
        warn("add contact", error);
    if (uid && added)
        *uid = QString::fromUtf8(added);
    g_free(added);
    g_object_unref(contact);
    g_object_unref(client);
    return done;
}

QStringList EdsFixture::contacts()
{
    QStringList uids;
    ESource *source = e_source_registry_ref_builtin_address_book(d->registry);
    GError *error = nullptr;
    EClient *client = e_book_client_connect_sync(source, 10, nullptr, &error);
    g_object_unref(source);
    if (!client) {
        warn("address book", error);
        return uids;
    }
    GSList *found = nullptr;
    if (e_book_client_get_contacts_uids_sync(E_BOOK_CLIENT(client), "(exists \"full_name\")", &found, nullptr,
                                             &error)) {
        for (GSList *item = found; item; item = item->next)
            uids.append(QString::fromUtf8(static_cast<const char *>(item->data)));
        g_slist_free_full(found, g_free);
    } else {
        warn("contacts", error);
    }
    g_object_unref(client);
    uids.sort();
    return uids;
}
