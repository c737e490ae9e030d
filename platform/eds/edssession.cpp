#include "edssession.h"

#include "sessionbus.h"

#include <QLoggingCategory>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {
Q_LOGGING_CATEGORY(lcEds, "ruvelant.eds", QtWarningMsg)

// One call: what it runs, and what its caller waits for.
struct Call
{
    std::function<void(ESourceRegistry *, GCancellable *)> job;
    GCancellable *cancellable = g_cancellable_new();
    bool finished = false;
    bool ran = false; // the registry was there, and the job ran
    ~Call() { g_object_unref(cancellable); }
};

QString seconds(std::chrono::milliseconds bound)
{
    return QString::number(double(bound.count()) / 1000, 'g', 3);
}

// Whether EDS's registry runs on the bus, or the bus can start it. Without it, EDS's own client
// would take an empty registry for one without sources.
bool registryOnBus(GDBusConnection *bus, GCancellable *cancellable, GError **error)
{
    const char registry[] = "org.gnome.evolution.dataserver.Sources5";
    const auto ask = [&](const char *method, GVariant *arguments, const GVariantType *type) {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                           method, arguments, type, G_DBUS_CALL_FLAGS_NONE,
                                           int(EdsSession::answerBound.count()), cancellable, error);
    };
    GVariant *owned = ask("NameHasOwner", g_variant_new("(s)", registry), G_VARIANT_TYPE("(b)"));
    if (!owned)
        return false;
    gboolean has = FALSE;
    g_variant_get(owned, "(b)", &has);
    g_variant_unref(owned);
    if (has)
        return true;
    GVariant *startable = ask("ListActivatableNames", nullptr, G_VARIANT_TYPE("(as)"));
    if (!startable)
        return false;
    GVariantIter *names = nullptr;
    const gchar *name = nullptr;
    bool found = false;
    g_variant_get(startable, "(as)", &names);
    while (!found && g_variant_iter_next(names, "&s", &name))
        found = g_strcmp0(name, registry) == 0;
    g_variant_iter_free(names);
    g_variant_unref(startable);
    return found;
}
} // namespace

// The session's thread and what it shares with its callers. Kept alive by the thread itself as
// long as it runs, so that a call its caller gave up on can end after the session went.
struct EdsSession::Worker : std::enable_shared_from_this<EdsSession::Worker>
{
    GMainContext *context = g_main_context_new();
    GMainLoop *loop = g_main_loop_new(context, FALSE);
    std::thread thread;

    std::mutex mutex; // guards what follows, up to the thread's own
    std::condition_variable changed;
    bool busy = false; // a call runs
    bool abandoned = false; // its caller stopped waiting for it
    bool missing = false; // EDS is not installed: nothing to wait for again
    QString reason; // why EDS cannot be reached, empty once it answered
    std::map<int, std::function<void()>> watchers;
    int nextWatcher = 1;

    // The thread's own.
    ESourceRegistry *registry = nullptr;
    GDBusConnection *bus = nullptr;
    bool signalsConnected = false;

    ~Worker()
    {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    void start()
    {
        auto self = shared_from_this();
        thread = std::thread([self] {
            g_main_context_push_thread_default(self->context);
            g_main_loop_run(self->loop);
            if (self->registry) {
                g_signal_handlers_disconnect_by_data(self->registry, self.get());
                g_object_unref(self->registry);
            }
            if (self->bus)
                g_object_unref(self->bus);
            g_main_context_pop_thread_default(self->context);
        });
    }

    static void sourcesChanged(ESourceRegistry *, ESource *, gpointer data)
    {
        auto *worker = static_cast<Worker *>(data);
        std::map<int, std::function<void()>> watchers;
        {
            const std::lock_guard<std::mutex> lock(worker->mutex);
            watchers = worker->watchers;
        }
        for (const auto &watcher : watchers)
            watcher.second();
    }

    // On the thread: tells the watchers of every change of the registry's sources.
    void connectSignals()
    {
        if (!registry || signalsConnected)
            return;
        signalsConnected = true;
        for (const char *name :
             {"source-added", "source-removed", "source-changed", "source-enabled", "source-disabled"})
            g_signal_connect(registry, name, G_CALLBACK(&Worker::sourcesChanged), this);
    }

    // On the thread: the registry of EDS's sources, reached on first use. The session bus does not
    // end the process when it goes away (as a GLib bus connection otherwise does).
    bool reachRegistry(GCancellable *cancellable)
    {
        if (registry)
            return true;
        GErrorHolder error;
        if (!bus) {
            bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error.out());
            if (bus)
                g_dbus_connection_set_exit_on_close(bus, FALSE);
        }
        bool installed = false;
        if (bus)
            installed = registryOnBus(bus, cancellable, error.out());
        if (installed)
            registry = e_source_registry_new_sync(cancellable, error.out());
        const std::lock_guard<std::mutex> lock(mutex);
        if (!registry) {
            missing = bus && !installed && !error;
            reason = missing ? QStringLiteral("Evolution Data Server is not installed")
                             : QStringLiteral("Evolution Data Server cannot be reached: %1").arg(error.message());
            return false;
        }
        reason.clear();
        return true;
    }

    static gboolean runCall(gpointer data)
    {
        auto &[worker, call] = *static_cast<std::pair<std::shared_ptr<Worker>, std::shared_ptr<Call>> *>(data);
        if (!g_cancellable_is_cancelled(call->cancellable) && worker->reachRegistry(call->cancellable)) {
            bool watched;
            {
                const std::lock_guard<std::mutex> lock(worker->mutex);
                watched = !worker->watchers.empty();
            }
            if (watched)
                worker->connectSignals();
            call->job(worker->registry, call->cancellable);
            call->ran = true;
        }
        const std::lock_guard<std::mutex> lock(worker->mutex);
        if (call->ran && !g_cancellable_is_cancelled(call->cancellable))
            worker->reason.clear();
        call->finished = true;
        worker->busy = false;
        worker->abandoned = false;
        worker->changed.notify_all();
        return G_SOURCE_REMOVE;
    }
};

std::shared_ptr<EdsSession> EdsSession::shared()
{
    static std::mutex mutex;
    static std::weak_ptr<EdsSession> current;
    const QString address = sessionBusAddress();
    const std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<EdsSession> session = current.lock();
    if (!session || session->m_busAddress != address) {
        session.reset(new EdsSession(address));
        current = session;
    }
    return session;
}

EdsSession::EdsSession(const QString &busAddress) : m_busAddress(busAddress)
{
    if (m_busAddress.isEmpty())
        return;
    m_worker = std::make_shared<Worker>();
    m_worker->start();
}

EdsSession::~EdsSession()
{
    if (!m_worker)
        return;
    bool stuck;
    {
        const std::lock_guard<std::mutex> lock(m_worker->mutex);
        stuck = m_worker->abandoned;
        m_worker->watchers.clear();
    }
    g_main_loop_quit(m_worker->loop);
    // A call that does not answer holds the thread: it ends on its own, with what it holds.
    if (stuck)
        m_worker->thread.detach();
    else
        m_worker->thread.join();
}

bool EdsSession::run(std::function<void(ESourceRegistry *, GCancellable *)> job, std::chrono::milliseconds bound,
                     QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!m_worker)
        return fail(QStringLiteral("there is no session bus"));
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(m_worker->mutex);
    if (m_worker->missing)
        return fail(m_worker->reason);
    // Calls of other threads take turns; one that its caller gave up on is not waited for.
    if (!m_worker->changed.wait_until(lock, deadline, [this] { return !m_worker->busy || m_worker->abandoned; })
        || m_worker->abandoned)
        return fail(m_worker->reason.isEmpty()
                        ? QStringLiteral("Evolution Data Server has not answered an earlier call")
                        : m_worker->reason);
    m_worker->busy = true;
    auto call = std::make_shared<Call>();
    call->job = std::move(job);
    g_main_context_invoke_full(
        m_worker->context, G_PRIORITY_DEFAULT, &Worker::runCall,
        new std::pair<std::shared_ptr<Worker>, std::shared_ptr<Call>>(m_worker, call),
        [](gpointer data) { delete static_cast<std::pair<std::shared_ptr<Worker>, std::shared_ptr<Call>> *>(data); });
    if (!m_worker->changed.wait_until(lock, deadline, [&call] { return call->finished; })) {
        m_worker->abandoned = true;
        m_worker->reason = QStringLiteral("Evolution Data Server did not answer within %1 s").arg(seconds(bound));
        lock.unlock();
        g_cancellable_cancel(call->cancellable);
        qCDebug(lcEds, "%s", qPrintable(m_worker->reason));
        return fail(m_worker->reason);
    }
    if (!call->ran)
        return fail(m_worker->reason);
    return true;
}

bool EdsSession::isMissing() const
{
    if (!m_worker)
        return false;
    const std::lock_guard<std::mutex> lock(m_worker->mutex);
    return m_worker->missing;
}

QString EdsSession::unavailableReason() const
{
    if (!m_worker)
        return QStringLiteral("there is no session bus");
    const std::lock_guard<std::mutex> lock(m_worker->mutex);
    return m_worker->reason;
}

int EdsSession::watchSources(std::function<void()> changed)
{
    if (!m_worker)
        return 0;
    int id;
    {
        const std::lock_guard<std::mutex> lock(m_worker->mutex);
        id = m_worker->nextWatcher++;
        m_worker->watchers.emplace(id, std::move(changed));
    }
    // Connected on the session's thread, where the registry lives (or at its first call).
    g_main_context_invoke(
        m_worker->context,
        [](gpointer data) {
            static_cast<Worker *>(data)->connectSignals();
            return G_SOURCE_REMOVE;
        },
        m_worker.get());
    return id;
}

void EdsSession::unwatchSources(int id)
{
    if (!m_worker)
        return;
    const std::lock_guard<std::mutex> lock(m_worker->mutex);
    m_worker->watchers.erase(id);
}

void EdsSession::release(GObject *object)
{
    if (!object)
        return;
    if (!m_worker) {
        g_object_unref(object);
        return;
    }
    g_main_context_invoke(
        m_worker->context,
        [](gpointer data) {
            g_object_unref(data);
            return G_SOURCE_REMOVE;
        },
        object);
}
