#ifndef RUVELANT_AKONADICALENDARSTORE_H
#define RUVELANT_AKONADICALENDARSTORE_H

#include "calendarstore.h"
#include "eventseries.h"

#include <QHash>
#include <QMap>

#include <memory>

class AkonadiClient;

// The calendars that KDE's Akonadi server keeps (the accounts of KOrganizer, Merkuro and System
// Settings: CalDAV, Google, EWS, local files...), read and marked through Akonadi's own items:
// each event and each override of one occurrence is an item, read as a KCalendarCore event.
// Identifiers start with uidPrefix and hold a '/', so they never name a vdir calendar folder.
class AkonadiCalendarStore : public CalendarStore
{
    Q_OBJECT
public:
    // The store on the running server; nullptr when none runs or answers within timeoutMs (why
    // then says which). Never starts a server.
    static std::unique_ptr<AkonadiCalendarStore> ofRunningServer(int timeoutMs, QString *why = nullptr);
    ~AkonadiCalendarStore() override;

    static const QString uidPrefix; // "akonadi/"
    // How long one request to the server may take (tests); AkonadiClient::jobBound by default.
    void setJobBound(int milliseconds);

    // The collections that hold events, in the server's order. A calendar's identifier is its
    // resource and remote identifier (which outlive the server's own database), or its number
    // where the resource gives it none of its own.
    QList<Calendar> calendars() const override;
    std::optional<Calendar> calendarWithUID(const QString &uid) const override;
    // Ordered by start. A calendar or item that cannot be read is left out with a warning.
    QList<Event> eventsWithPredicate(const EventPredicate &predicate) override;
    // Changes only the notes, as KOrganizer does: an occurrence of a repeating event gets an
    // override item of its own (a copy of the occurrence with the notes), anything else its notes
    // changed in place. Fails with EventNotFound when the calendar or occurrence is gone, ReadOnly
    // when the calendar may not be changed, ChangedOnDisk when the occurrence's notes or times
    // changed since it was read (other than by this store's saves), NotSupported for a span other
    // than this occurrence of a repeating event, for an event the calendar holds twice and for a
    // change made to this and future occurrences, WriteFailed when the server refuses it.
    bool saveEvent(const Event &event, Span span, Error *error) override;
    // Whether the calendar lacks the right that saving the notes needs: to change items, or for
    // a new override, to add them.
    bool isReadOnly(const Event &event) const override;
    std::optional<Event> currentEvent(const Event &event) override;

protected:
    void connectNotify(const QMetaMethod &signal) override;

private:
    explicit AkonadiCalendarStore(std::unique_ptr<AkonadiClient> client);
    struct Listed;
    struct Cached;
    struct Located;
    // On the client's thread:
    QList<Listed> list(QString *error) const;
    std::optional<Listed> find(const QString &uid, QString *error) const;
    bool refresh(const Listed &calendar, QStringList *warnings, QString *error) const;
    QHash<QString, QList<qint64>> itemsByUid(qint64 collection) const;
    EventSeries series(qint64 collection, const QList<qint64> &items) const;
    Event makeEvent(const EventSeries &series, const QString &calendarUid,
                    const EventSeries::Occurrence &occurrence) const;
    std::optional<Located> locate(const Event &event, QStringList *warnings, Error *error) const;
    void rescan();
    void report(const QStringList &warnings);

    std::unique_ptr<AkonadiClient> m_client;
    // Per collection, its items as last read: item -> revision and event (null: not an event or
    // not readable).
    mutable QHash<qint64, QHash<qint64, Cached>> m_cache;
    // Occurrence stamps of this store's own saves: before -> after.
    QHash<QByteArray, QByteArray> m_ownWrites;
    bool m_watching = false;
    QMap<QString, QString> m_known; // calendars when last looked at: uid -> title
};

// The Akonadi calendar store when a server runs and answers within AkonadiClient's bound; nullptr
// (with the reason logged) otherwise. Never starts a server.
std::unique_ptr<CalendarStore> makeAkonadiCalendarStore();

#endif
