#include "akonadiaddressbook.h"

#include "akonadiclient.h"

#include <Akonadi/CollectionFetchJob>
#include <Akonadi/CollectionFetchScope>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <Akonadi/Monitor>
#include <KConfig>
#include <KConfigGroup>
#include <KContacts/Addressee>
#include <KIdentityManagement/Identity>

#include <QLoggingCategory>
#include <QRegularExpression>

#include <algorithm>

Q_LOGGING_CATEGORY(lcAkonadiContacts, "ruvelant.addressbook.akonadi")

namespace {
QString nonEmptyOrNull(const QString &text)
{
    return text.isEmpty() ? QString() : text;
}

// The addresses of KDE's e-mail identities (System Settings, KMail), the default identity's
// first, each once. The file is read here, each identity with the library's own reading: the
// library's identity manager writes the file back when it starts, even when told to only read.
QStringList identityAddresses()
{
    const KConfig config(QStringLiteral("emailidentities"), KConfig::NoGlobals);
    const uint standard = config.group("General").readEntry("Default Identity", 0u);
    const QRegularExpression identityGroup(QStringLiteral("^Identity #\\d+$"));
    QList<KIdentityManagement::Identity> identities;
    const QStringList groups = config.groupList();
    for (const QString &group : groups) {
        if (!identityGroup.match(group).hasMatch())
            continue;
        KIdentityManagement::Identity identity;
        identity.readConfig(config.group(group));
        if (identity.uoid() == standard)
            identities.prepend(identity);
        else
            identities.append(identity);
    }
    QStringList addresses;
    for (const KIdentityManagement::Identity &identity : std::as_const(identities)) {
        for (const QString &address : QStringList {identity.primaryEmailAddress()} + identity.emailAliases()) {
            if (!address.isEmpty() && !addresses.contains(address))
                addresses.append(address);
        }
    }
    return addresses;
}
} // namespace

AkonadiAddressBook::AkonadiAddressBook(std::unique_ptr<AkonadiClient> client) : m_client(std::move(client))
{
    m_client->call([this] {
        QObject *context = m_client->context();
        auto *monitor = new Akonadi::Monitor(context);
        monitor->setMimeTypeMonitored(KContacts::Addressee::mimeType());
        const auto stale = [this] { m_stale = true; };
        QObject::connect(monitor, &Akonadi::Monitor::itemAdded, context, stale);
        QObject::connect(monitor, &Akonadi::Monitor::itemChanged, context, stale);
        QObject::connect(monitor, &Akonadi::Monitor::itemRemoved, context, stale);
        QObject::connect(monitor, &Akonadi::Monitor::itemMoved, context, stale);
        QObject::connect(monitor, &Akonadi::Monitor::collectionAdded, context, stale);
        QObject::connect(monitor, &Akonadi::Monitor::collectionRemoved, context, stale);
    });
}

AkonadiAddressBook::~AkonadiAddressBook() = default;

std::unique_ptr<AkonadiAddressBook> AkonadiAddressBook::ofRunningServer(int timeoutMs, QString *why)
{
    std::unique_ptr<AkonadiClient> client = AkonadiClient::connect(timeoutMs, why);
    if (!client)
        return nullptr;
    return std::unique_ptr<AkonadiAddressBook>(new AkonadiAddressBook(std::move(client)));
}

std::unique_ptr<AddressBook> makeAkonadiAddressBook()
{
    return AkonadiAddressBook::ofRunningServer(AkonadiClient::answerBound);
}

void AkonadiAddressBook::load() const
{
    if (!m_stale)
        return;
    // A change told while the cards are read makes them stale again.
    m_stale = false;
    QString error;
    const std::unique_ptr<Akonadi::CollectionFetchJob> listing(
        new Akonadi::CollectionFetchJob(Akonadi::Collection::root(), Akonadi::CollectionFetchJob::Recursive));
    listing->fetchScope().setContentMimeTypes({KContacts::Addressee::mimeType()});
    if (!m_client->run(listing.get(), &error)) {
        qCWarning(lcAkonadiContacts, "the Akonadi address books cannot be listed: %s", qPrintable(error));
        m_stale = true;
        return;
    }
    QList<Person> people;
    const Akonadi::Collection::List collections = listing->collections();
    for (const Akonadi::Collection &collection : collections) {
        if (collection.isVirtual() || !collection.contentMimeTypes().contains(KContacts::Addressee::mimeType()))
            continue;
        const std::unique_ptr<Akonadi::ItemFetchJob> job(new Akonadi::ItemFetchJob(collection));
        job->fetchScope().fetchFullPayload();
        if (!m_client->run(job.get(), &error)) {
            qCWarning(lcAkonadiContacts, "the address book \"%s\" cannot be read: %s",
                      qPrintable(collection.displayName()), qPrintable(error));
            m_stale = true;
            continue;
        }
        Akonadi::Item::List items = job->items();
        std::sort(items.begin(), items.end(),
                  [](const Akonadi::Item &a, const Akonadi::Item &b) { return a.id() < b.id(); });
        for (const Akonadi::Item &item : std::as_const(items)) {
            if (!item.hasPayload<KContacts::Addressee>())
                continue; // a contact group
            const auto card = item.payload<KContacts::Addressee>();
            people.append(
                {card.uid(), nonEmptyOrNull(card.givenName()), nonEmptyOrNull(card.familyName()), card.emails()});
        }
    }
    m_people = people;
}

std::optional<Person> AkonadiAddressBook::me() const
{
    std::optional<Person> result;
    m_client->call([&] {
        const QStringList addresses = identityAddresses();
        if (addresses.isEmpty())
            return;
        load();
        const auto card = std::find_if(m_people.cbegin(), m_people.cend(),
                                       [&](const Person &person) { return person.emails.contains(addresses.first()); });
        Person person = card == m_people.cend() ? Person() : *card;
        for (const QString &address : addresses) {
            if (!person.emails.contains(address))
                person.emails.append(address);
        }
        result = person;
    });
    return result;
}

QList<Person> AkonadiAddressBook::peopleWithEmail(const QString &address) const
{
    QList<Person> found;
    m_client->call([&] {
        load();
        for (const Person &person : std::as_const(m_people)) {
            if (person.emails.contains(address))
                found.append(person);
        }
    });
    return found;
}
