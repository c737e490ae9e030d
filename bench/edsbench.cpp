// The benchmark's side of Evolution Data Server, through libecal alone, on the session bus of the
// environment:
//   edsbench load FOLDER SOURCE-UID      makes a local EDS calendar of the .ics files of FOLDER
//   edsbench query YYYY-MM-DD SOURCE-UID  the bare libecal query of that local day: EDS's
//       occur-in-time-range? query and libecal's expansion of it (e_cal_client_generate_instances_sync);
//       prints the occurrences found and the seconds it took.
//   edsbench add SOURCE-UID TITLE [URL]  makes an empty calendar: on this computer, or on the CalDAV
//       server at URL (scripts/screenshot shows the desktop's calendars with it).
#include <libecal/libecal.h>

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {
int fail(const char *what, GError *error)
{
    std::fprintf(stderr, "edsbench: %s: %s\n", what, error ? error->message : "failed");
    g_clear_error(&error);
    return 1;
}

ECalClient *open(ESourceRegistry *registry, const QByteArray &uid, GError **error)
{
    ESource *source = e_source_registry_ref_source(registry, uid.constData());
    if (!source)
        return nullptr;
    // A calendar of this computer: nothing to wait for to be connected.
    EClient *client = e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, guint32(-1), nullptr, error);
    g_object_unref(source);
    return client ? E_CAL_CLIENT(client) : nullptr;
}

// A new calendar: on this computer, or on the CalDAV server at url.
int add(ESourceRegistry *registry, const QByteArray &uid, const QByteArray &title, const QByteArray &url = {})
{
    GError *error = nullptr;
    ESource *source = e_source_new_with_uid(uid.constData(), nullptr, &error);
    if (!source)
        return fail("source", error);
    e_source_set_display_name(source, title.constData());
    e_source_set_parent(source, url.isEmpty() ? "local-stub" : "caldav-stub");
    e_source_backend_set_backend_name(E_SOURCE_BACKEND(e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR)),
                                      url.isEmpty() ? "local" : "caldav");
    if (!url.isEmpty()) {
        GUri *uri = g_uri_parse(url.constData(), G_URI_FLAGS_NONE, nullptr);
        e_source_webdav_set_uri(
            static_cast<ESourceWebdav *>(e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)), uri);
        g_uri_unref(uri);
    }
    const bool done = e_source_registry_commit_source_sync(registry, source, nullptr, &error);
    g_object_unref(source);
    return done ? 0 : fail("commit", error);
}

int load(ESourceRegistry *registry, const QString &folder, const QByteArray &uid)
{
    if (const int failed = add(registry, uid, "Benchmark"))
        return failed;
    GError *error = nullptr;
    ECalClient *client = nullptr;
    for (int i = 0; i < 100 && !client; ++i) {
        g_clear_error(&error);
        client = open(registry, uid, &error);
        if (!client)
            g_usleep(100000);
    }
    if (!client)
        return fail("open", error);
    GSList *masters = nullptr, *overrides = nullptr;
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.ics")}, QDir::Files);
    for (const QString &name : files) {
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        ICalComponent *calendar = i_cal_component_new_from_string(file.readAll().constData());
        for (ICalComponent *event
             = calendar ? i_cal_component_get_first_component(calendar, I_CAL_VEVENT_COMPONENT) : nullptr;
             event; event = i_cal_component_get_next_component(calendar, I_CAL_VEVENT_COMPONENT)) {
            if (e_cal_util_component_is_instance(event))
                overrides = g_slist_prepend(overrides, i_cal_component_clone(event));
            else
                masters = g_slist_prepend(masters, i_cal_component_clone(event));
            g_object_unref(event);
        }
        if (calendar)
            g_object_unref(calendar);
    }
    GSList *uids = nullptr;
    if (!e_cal_client_create_objects_sync(client, masters, E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE, &uids, nullptr,
                                          &error))
        return fail("create", error);
    g_slist_free_full(uids, g_free);
    if (overrides
        && !e_cal_client_modify_objects_sync(client, overrides, E_CAL_OBJ_MOD_THIS,
                                             E_CAL_OPERATION_FLAG_DISABLE_ITIP_MESSAGE, nullptr, &error))
        return fail("overrides", error);
    std::printf("%d events, %d overrides\n", int(g_slist_length(masters)), int(g_slist_length(overrides)));
    g_slist_free_full(masters, g_object_unref);
    g_slist_free_full(overrides, g_object_unref);
    g_object_unref(client);
    return 0;
}

gboolean count(ICalComponent *, ICalTime *, ICalTime *, gpointer data, GCancellable *, GError **)
{
    ++*static_cast<int *>(data);
    return TRUE;
}

int query(ESourceRegistry *registry, const QDate &day, const QByteArray &uid)
{
    GError *error = nullptr;
    ECalClient *client = open(registry, uid, &error);
    if (!client)
        return fail("open", error);
    e_cal_client_set_default_timezone(client, i_cal_timezone_get_builtin_timezone(qgetenv("TZ").constData()));
    QElapsedTimer timer;
    timer.start();
    int found = 0;
    e_cal_client_generate_instances_sync(client, time_t(QDateTime(day, QTime(0, 0)).toSecsSinceEpoch()),
                                         time_t(QDateTime(day, QTime(23, 59, 59)).toSecsSinceEpoch()), nullptr, count,
                                         &found);
    std::printf("%d %.4f\n", found, double(timer.nsecsElapsed()) / 1e9);
    return 0; // the client ends with the process: closing it waits for EDS
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1);
    if ((mode != QLatin1String("add") || arguments.size() < 4 || arguments.size() > 5)
        && ((mode != QLatin1String("load") && mode != QLatin1String("query")) || arguments.size() != 4)) {
        std::fprintf(stderr,
                     "usage: edsbench load FOLDER SOURCE-UID | edsbench query YYYY-MM-DD SOURCE-UID | "
                     "edsbench add SOURCE-UID TITLE [URL]\n");
        return 2;
    }
    GError *error = nullptr;
    ESourceRegistry *registry = e_source_registry_new_sync(nullptr, &error);
    if (!registry)
        return fail("registry", error);
    int status;
    if (mode == QLatin1String("add"))
        status = add(registry, arguments.at(2).toUtf8(), arguments.at(3).toUtf8(), arguments.value(4).toUtf8());
    else if (mode == QLatin1String("load"))
        status = load(registry, arguments.at(2), arguments.at(3).toUtf8());
    else
        status = query(registry, QDate::fromString(arguments.at(2), Qt::ISODate), arguments.at(3).toUtf8());
    return status; // the registry ends with the process
}
