#ifndef RUVELANT_EDSSESSION_H
#define RUVELANT_EDSSESSION_H

#include <libedataserver/libedataserver.h>

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

// A reference to a GObject that drops it when it goes.
template<typename T> class GRef
{
public:
    GRef() = default;
    // Takes over a reference the caller owns (a "transfer full" result); nullptr gives an empty one.
    static GRef take(T *object)
    {
        GRef ref;
        ref.m_object = object;
        return ref;
    }
    // Adds a reference of its own to an object that someone else owns.
    static GRef share(T *object) { return take(object ? static_cast<T *>(g_object_ref(object)) : nullptr); }
    GRef(const GRef &other) : m_object(other.m_object ? static_cast<T *>(g_object_ref(other.m_object)) : nullptr) { }
    GRef(GRef &&other) noexcept : m_object(std::exchange(other.m_object, nullptr)) { }
    GRef &operator=(GRef other)
    {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~GRef()
    {
        if (m_object)
            g_object_unref(m_object);
    }
    T *get() const { return m_object; }
    // Hands the reference over to the caller, who drops it (see EdsSession::release).
    T *release() { return std::exchange(m_object, nullptr); }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T *m_object = nullptr;
};

// A GLib error that frees itself; its message as a text.
struct GErrorHolder
{
    GError *error = nullptr;
    GErrorHolder() = default;
    GErrorHolder(const GErrorHolder &) = delete;
    GErrorHolder &operator=(const GErrorHolder &) = delete;
    ~GErrorHolder() { g_clear_error(&error); }
    GError **out() { return &error; }
    explicit operator bool() const { return error != nullptr; }
    QString message() const { return error ? QString::fromUtf8(error->message) : QString(); }
};

// The process's connection to Evolution Data Server (EDS), the store of the GNOME desktop's
// calendars and address books, shared by the stores built on it. EDS's services live on the
// session bus, which starts them on first use. Every call to them runs on a thread of the
// session's own, where a GLib main loop of its own delivers the sources' change signals, and its
// caller waits for it at most a bound: a service that is missing, starting or stuck costs a
// caller that bound once, and until that call has ended the session answers at once that EDS
// does not answer.
class EdsSession
{
public:
    // How long EDS may take to answer one call (the list of sources, opening a calendar or an
    // address book, a query, reading contacts, saving an event) before its caller goes on without
    // it. EDS's services take a second or two to start on first use.
    static constexpr std::chrono::milliseconds answerBound {5000};
    // How long opening a calendar or address book on a server waits for the server to be reached;
    // one that is not reached by then counts as offline.
    static constexpr std::chrono::seconds connectWait {3};
    // How long a save may take: for a calendar on a server, EDS sends it there before it answers.
    static constexpr std::chrono::seconds saveBound {30};

    // The session on the process's session bus, made on first use and shared while it is used;
    // a new one when the bus changed. A process keeps talking to the bus it first reached.
    static std::shared_ptr<EdsSession> shared();
    ~EdsSession();
    EdsSession(const EdsSession &) = delete;
    EdsSession &operator=(const EdsSession &) = delete;

    // A job: runs on the session's thread with the registry of EDS's sources and a cancellable that
    // is cancelled when its caller stops waiting. It may go on after its caller gave up, so it
    // holds nothing of its caller's but copies.
    template<typename Result> using Job = std::function<Result(ESourceRegistry *registry, GCancellable *cancellable)>;

    // Runs job and returns its result; nullopt with *error (when given) when there is no session
    // bus, EDS is not there, or it did not answer within bound (or has not answered an earlier call yet).
    template<typename Result>
    std::optional<Result> call(Job<Result> job, QString *error = nullptr, std::chrono::milliseconds bound = answerBound)
    {
        auto result = std::make_shared<std::optional<Result>>();
        const bool done
            = run([job = std::move(job), result](ESourceRegistry *registry,
                                                 GCancellable *cancellable) { *result = job(registry, cancellable); },
                  bound, error);
        if (!done)
            return std::nullopt;
        return std::move(*result);
    }

    // Why EDS cannot be reached (no session bus, not installed, no answer in time...); empty once a
    // call reached it.
    QString unavailableReason() const;
    // Whether EDS is not installed: its registry neither runs on the session bus nor can be started
    // by it. Its calendars and cards are then gone, not just out of reach.
    bool isMissing() const;

    // Calls changed (on the session's thread) whenever a source is added, removed, changed,
    // enabled or disabled, from the next call on; returns what unwatchSources takes.
    int watchSources(std::function<void()> changed);
    void unwatchSources(int id);

    // Drops a reference to a GObject made by a job, on the session's thread, where EDS's objects
    // live and die.
    void release(GObject *object);

private:
    struct Worker;
    explicit EdsSession(const QString &busAddress);
    bool run(std::function<void(ESourceRegistry *, GCancellable *)> job, std::chrono::milliseconds bound,
             QString *error);

    QString m_busAddress;
    std::shared_ptr<Worker> m_worker; // null without a session bus
};

#endif
