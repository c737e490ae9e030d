#include "edsaddressbook.h"

#include "edssession.h"

#include <libebook/libebook.h>

#include <QHash>
#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcEdsContacts, "ruvelant.addressbook.eds", QtWarningMsg)

// Where EDS keeps the UID of the user's own card (as e_book_client_get_self reads it).
const char selfSchema[] = "org.gnome.evolution-data-server.addressbook";
const char selfKey[] = "self-contact-uid";

QString textOf(const gchar *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

Person personOf(EContact *contact)
{
    Person person;
    const auto field = [contact](EContactField name) {
        gchar *value = static_cast<gchar *>(e_contact_get(contact, name));
        const QString text = textOf(value);
        g_free(value);
        return text;
    };
    person.uid = field(E_CONTACT_UID);
    person.firstName = field(E_CONTACT_GIVEN_NAME);
    person.lastName = field(E_CONTACT_FAMILY_NAME);
    GList *emails = static_cast<GList *>(e_contact_get(contact, E_CONTACT_EMAIL));
    for (GList *item = emails; item; item = item->next)
        person.emails.append(textOf(static_cast<const gchar *>(item->data)));
    g_list_free_full(emails, g_free);
    return person;
}

// The UID that marks the user's own card; empty when none is set, or EDS's settings are not
// installed.
QString selfUid()
{
    GSettingsSchemaSource *schemas = g_settings_schema_source_get_default();
    GSettingsSchema *schema = schemas ? g_settings_schema_source_lookup(schemas, selfSchema, TRUE) : nullptr;
    if (!schema)
        return QString();
    const bool known = g_settings_schema_has_key(schema, selfKey);
    g_settings_schema_unref(schema);
    if (!known)
        return QString();
    GSettings *settings = g_settings_new(selfSchema);
    gchar *uid = g_settings_get_string(settings, selfKey);
    const QString text = textOf(uid);
    g_free(uid);
    g_object_unref(settings);
    return text;
}

// An opened address book, or why it could not be opened.
struct Book
{
    GRef<EBookClient> client;
    QString error;
};

Book openBook(ESource *source, const GRef<EBookClient> &known, GCancellable *cancellable)
{
    if (known)
        return {known, QString()};
    GErrorHolder error;
    // Only a book on a server gets connected: for the others there is nothing to wait for.
    auto *backend = static_cast<ESourceBackend *>(e_source_get_extension(source, E_SOURCE_EXTENSION_ADDRESS_BOOK));
    const bool remote = g_strcmp0(e_source_backend_get_backend_name(backend), "local") != 0;
    const guint32 wait = remote ? guint32(EdsSession::connectWait.count()) : guint32(-1);
    EClient *client = e_book_client_connect_sync(source, wait, cancellable, error.out());
    if (!client)
        return {GRef<EBookClient>(), error.message()};
    return {GRef<EBookClient>::take(E_BOOK_CLIENT(client)), QString()};
}

// What a call found: its answer, and the books it opened (kept for the next call).
struct Found
{
    QList<Person> people;
    QHash<QString, GRef<EBookClient>> opened;
    QStringList problems;
};
} // namespace

struct EdsAddressBook::Private
{
    std::shared_ptr<EdsSession> session = EdsSession::shared();
    mutable QHash<QString, GRef<EBookClient>> books; // opened, by source UID

    void keep(const Found &found) const
    {
        for (auto it = found.opened.cbegin(); it != found.opened.cend(); ++it)
            books.insert(it.key(), it.value());
        for (const QString &problem : found.problems)
            qCWarning(lcEdsContacts, "%s", qPrintable(problem));
    }
};

EdsAddressBook::EdsAddressBook() : d(std::make_unique<Private>()) { }

EdsAddressBook::~EdsAddressBook()
{
    for (GRef<EBookClient> &book : d->books)
        d->session->release(G_OBJECT(book.release()));
}

std::optional<Person> EdsAddressBook::me() const
{
    const QHash<QString, GRef<EBookClient>> known = d->books;
    QString error;
    const std::optional<Found> found = d->session->call<Found>(
        [known](ESourceRegistry *registry, GCancellable *cancellable) {
            Found found;
            const QString uid = selfUid();
            if (uid.isEmpty())
                return found;
            GRef<ESource> source = GRef<ESource>::take(e_source_registry_ref_builtin_address_book(registry));
            if (!source)
                return found;
            const QString sourceUid = textOf(e_source_get_uid(source.get()));
            const Book book = openBook(source.get(), known.value(sourceUid), cancellable);
            if (!book.client) {
                found.problems.append(
                    QStringLiteral("the address book with the user's own card cannot be opened: %1").arg(book.error));
                return found;
            }
            found.opened.insert(sourceUid, book.client);
            EContact *contact = nullptr;
            GErrorHolder missing;
            // Only read: a card that is not there is no card of the user's.
            if (e_book_client_get_contact_sync(book.client.get(), uid.toUtf8().constData(), &contact, cancellable,
                                               missing.out())
                && contact) {
                found.people.append(personOf(contact));
                g_object_unref(contact);
            }
            return found;
        },
        &error);
    if (!found) {
        qCDebug(lcEdsContacts, "no card of the user's from Evolution Data Server: %s", qPrintable(error));
        return std::nullopt;
    }
    d->keep(*found);
    return found->people.isEmpty() ? std::nullopt : std::optional<Person>(found->people.first());
}

QList<Person> EdsAddressBook::peopleWithEmail(const QString &address) const
{
    const QHash<QString, GRef<EBookClient>> known = d->books;
    const QByteArray wanted = address.toUtf8();
    QString error;
    const std::optional<Found> found = d->session->call<Found>(
        [known, wanted, address](ESourceRegistry *registry, GCancellable *cancellable) {
            Found found;
            EBookQuery *query = e_book_query_field_test(E_CONTACT_EMAIL, E_BOOK_QUERY_IS, wanted.constData());
            gchar *sexp = e_book_query_to_string(query);
            e_book_query_unref(query);
            GList *sources = e_source_registry_list_enabled(registry, E_SOURCE_EXTENSION_ADDRESS_BOOK);
            for (GList *item = sources; item && !g_cancellable_is_cancelled(cancellable); item = item->next) {
                ESource *source = E_SOURCE(item->data);
                const QString sourceUid = textOf(e_source_get_uid(source));
                const Book book = openBook(source, known.value(sourceUid), cancellable);
                if (!book.client) {
                    found.problems.append(QStringLiteral("an address book cannot be opened: %1").arg(book.error));
                    continue;
                }
                found.opened.insert(sourceUid, book.client);
                GSList *contacts = nullptr;
                GErrorHolder failed;
                if (!e_book_client_get_contacts_sync(book.client.get(), sexp, &contacts, cancellable, failed.out())) {
                    found.problems.append(
                        QStringLiteral("an address book cannot be searched: %1").arg(failed.message()));
                    continue;
                }
                for (GSList *contact = contacts; contact; contact = contact->next) {
                    const Person person = personOf(E_CONTACT(contact->data));
                    // EDS matches addresses in any case; the vCard folders, and so this book, exactly.
                    if (person.emails.contains(address, Qt::CaseSensitive))
                        found.people.append(person);
                }
                g_slist_free_full(contacts, g_object_unref);
            }
            g_list_free_full(sources, g_object_unref);
            g_free(sexp);
            return found;
        },
        &error);
    if (!found) {
        qCDebug(lcEdsContacts, "no card from Evolution Data Server: %s", qPrintable(error));
        return {};
    }
    d->keep(*found);
    return found->people;
}
