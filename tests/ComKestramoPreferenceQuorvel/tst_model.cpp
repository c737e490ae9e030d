#include "ComKestramoPreferenceQuorvelModel.h"
#include "ComKestramoPreferencesUtils.h"
#include "addressbook.h"
#include "bundle.h"
#include "memorycalendarstore.h"
#include "preferenceservice.h"
#include "propertylist.h"
#include "throwawayhome.h"

#include <QTest>

namespace {
// An address book whose "me" card the test sets.
class MemoryAddressBook : public AddressBook
{
public:
    std::optional<Person> meCard;
    std::optional<Person> me() const override { return meCard; }
    QList<Person> peopleWithEmail(const QString &) const override { return {}; }
};

QStringList strings(std::initializer_list<const char *> texts)
{
    QStringList list;
    for (const char *text : texts) {
        list.append(QString::fromUtf8(text));
    }
    return list;
}

QString domainFile()
{
    return QDir::homePath() + QStringLiteral("/Library/Preferences/") + ComKestramoPreferencesUtils::domain
        + QStringLiteral(".plist");
}

void seedDomain(const QVariantMap &values)
{
    QVERIFY(QDir().mkpath(QFileInfo(domainFile()).path()));
    QVERIFY(PropertyList::writeFile(domainFile(), values));
}

// The domain as another process would read it now.
QVariantMap storedDomain()
{
    return PreferenceService(ComKestramoPreferencesUtils::domain).values();
}

// Every entry as "uid title enabled".
QStringList entries(const ComKestramoPreferenceQuorvelModel &model)
{
    QStringList list;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        list.append(QStringLiteral("%1 %2 %3")
                        .arg(entry->calendaUID(), entry->calendarTitle(), entry->isCalendarEnabled().toString()));
    }
    return list;
}

QVariantMap fullDomain()
{
    return QVariantMap {{QStringLiteral("quorvelEnabled"), QStringLiteral("0")},
                        {QStringLiteral("verboseLogging"), true},
                        {QStringLiteral("daysBeforeEventStart"), QStringLiteral("2")},
                        {QStringLiteral("activeCalendars"), strings({"B", "X"})},
                        {QStringLiteral("mailTitle"), QStringLiteral("T <<date>>")},
                        {QStringLiteral("mailContent"), QStringLiteral("C <<first>>")},
                        {QStringLiteral("senderEmail"), QStringLiteral("me@example.org")}};
}
} // namespace

class TestModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void emptyDomain_data();
    void emptyDomain();
    void senderChoices_data();
    void senderChoices();
    void staleCalendars();
    void booleanRead_data();
    void booleanRead();
    void tickAndUntick();
    void everySetStores_data();
    void everySetStores();
    void calendarNotifications_data();
    void calendarNotifications();
    void agentModelWritesOnlyDefaults();

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_pane;
    MemoryAddressBook m_book;
    MemoryCalendarStore m_store;
};

void TestModel::init()
{
    m_home = std::make_unique<ThrowAwayHome>();
    m_pane = std::make_unique<Bundle>(buildPath(QStringLiteral("Ruvelant.prefPane")));
    Bundle::setMainBundle(m_pane.get());
    m_book.meCard = Person {QStringLiteral("me-1"), {}, {}, strings({"me@example.org", "work@example.org"})};
    AddressBook::setSharedAddressBook(&m_book);
    m_store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("A"), QStringLiteral("Home")),
                            MemoryCalendarStore::calendar(QStringLiteral("B"), QStringLiteral("Work"))};
}

void TestModel::cleanup()
{
    AddressBook::setSharedAddressBook(nullptr);
    Bundle::setMainBundle(nullptr);
    m_home.reset();
}

void TestModel::emptyDomain_data()
{
    QTest::addColumn<QByteArray>("lang");
    QTest::addColumn<bool>("tables");
    QTest::addColumn<QString>("title");
    QTest::newRow("English") << QByteArray("en_US.UTF-8") << true << "Reminder: your appointment on <<date>>";
    QTest::newRow("French") << QByteArray("fr_FR.UTF-8") << true << "Rappel : votre rendez-vous du <<date>>";
    QTest::newRow("German") << QByteArray("de_DE.UTF-8") << true << "Erinnerung: Ihr Termin am <<date>>";
    QTest::newRow("bundle without strings table: the key") << QByteArray("en_US.UTF-8") << false << "defaultMailTitle";
}

void TestModel::emptyDomain()
{
    QFETCH(QByteArray, lang);
    QFETCH(bool, tables);
    QFETCH(QString, title);
    m_home->setEnv("LANG", lang);
    Bundle bare(m_home->path());
    if (!tables) {
        Bundle::setMainBundle(&bare);
    }

    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    QCOMPARE(model.daysBeforeEventStart(), QStringLiteral("4"));
    QCOMPARE(model.daysList(), strings({"1", "2", "3", "4", "5", "6", "7"}));
    QVERIFY(!model.quorvelEnabled() && !model.verboseLogging());
    QCOMPARE(model.senderEmail(), QStringLiteral(" "));
    QCOMPARE(model.userEmails(), strings({" ", "me@example.org", "work@example.org"}));
    QCOMPARE(entries(model), strings({"A Home 0", "B Work 0"}));
    QCOMPARE(model.mailTitle(), title);
    if (tables) {
        for (const char *placeholder : {"<<first>>", "<<date>>", "<<time>>"}) {
            QVERIFY2(model.mailContent().contains(QLatin1String(placeholder)), placeholder);
        }
    } else {
        QCOMPARE(model.mailContent(), QStringLiteral("defaultMailContent"));
    }

    const QVariantMap stored = storedDomain();
    QCOMPARE(stored.size(), 7);
    QCOMPARE(stored.value(QStringLiteral("quorvelEnabled")), QVariant(false));
    QCOMPARE(stored.value(QStringLiteral("verboseLogging")), QVariant(false));
    QCOMPARE(stored.value(QStringLiteral("daysBeforeEventStart")), QVariant(QStringLiteral("4")));
    QCOMPARE(stored.value(QStringLiteral("activeCalendars")).toList(), QVariantList());
    QCOMPARE(stored.value(QStringLiteral("mailTitle")), QVariant(title));
    QCOMPARE(stored.value(QStringLiteral("mailContent")), QVariant(model.mailContent()));
    QCOMPARE(stored.value(QStringLiteral("senderEmail")), QVariant(QStringLiteral(" ")));
}

void TestModel::senderChoices_data()
{
    QTest::addColumn<int>("meCase"); // 0 no address book, 1 no me card, 2 me card without addresses, 3 two addresses
    QTest::addColumn<QString>("storedSender");
    QTest::addColumn<QString>("sender");
    QTest::newRow("no address book") << 0 << "me@example.org"
                                     << " ";
    QTest::newRow("no me card") << 1 << "me@example.org"
                                << " ";
    QTest::newRow("me card without addresses") << 2 << "me@example.org"
                                               << " ";
    QTest::newRow("current second address kept") << 3 << "work@example.org"
                                                 << "work@example.org";
    QTest::newRow("stale address falls back") << 3 << "old@example.org"
                                              << " ";
    QTest::newRow("address in other case is stale") << 3 << "Me@example.org"
                                                    << " ";
}

void TestModel::senderChoices()
{
    QFETCH(int, meCase);
    QFETCH(QString, storedSender);
    QFETCH(QString, sender);
    if (meCase == 0) {
        AddressBook::setSharedAddressBook(nullptr); // the home has no contacts folder
    } else if (meCase == 1) {
        m_book.meCard.reset();
    } else if (meCase == 2) {
        m_book.meCard->emails.clear();
    }
    QVariantMap seeded = fullDomain();
    seeded.insert(QStringLiteral("senderEmail"), storedSender);
    seedDomain(seeded);

    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    QCOMPARE(model.userEmails(), meCase == 3 ? strings({" ", "me@example.org", "work@example.org"}) : strings({" "}));
    QCOMPARE(model.senderEmail(), sender);
    // The fallback lives in memory only until the next store.
    QCOMPARE(storedDomain().value(QStringLiteral("senderEmail")).toString(), storedSender);
    model.setVerboseLogging(true);
    QCOMPARE(storedDomain().value(QStringLiteral("senderEmail")).toString(), sender);
}

void TestModel::staleCalendars()
{
    m_store.calendarList.insert(
        1,
        MemoryCalendarStore::calendar(QStringLiteral("S"), QStringLiteral("Holidays"), QStringLiteral("Subscription")));
    QVariantMap seeded = fullDomain();
    seeded.insert(QStringLiteral("activeCalendars"), strings({"gone", "S", "B"}));
    seedDomain(seeded);

    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    QCOMPARE(entries(model), strings({"A Home 0", "B Work 1"}));
    QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), strings({"gone", "S", "B"}));
    model.setDaysBeforeEventStart(QStringLiteral("3"));
    QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), strings({"B"}));
    QCOMPARE(model.activeCalendars(), strings({"B"}));
}

void TestModel::booleanRead_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("on");
    QTest::newRow("text 0 (installer)") << QVariant(QStringLiteral("0")) << false;
    QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << true;
    QTest::newRow("text with leading number") << QVariant(QStringLiteral(" 12 apples")) << true;
    QTest::newRow("text without number") << QVariant(QStringLiteral("yes")) << false;
    QTest::newRow("boolean true") << QVariant(true) << true;
    QTest::newRow("integer 0") << QVariant(0) << false;
    QTest::newRow("integer 256 is not truncated to off") << QVariant(256) << true;
    QTest::newRow("array") << QVariant(strings({"1"})) << false;
}

void TestModel::booleanRead()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, on);
    QVariantMap seeded = fullDomain();
    seeded.insert(QStringLiteral("quorvelEnabled"), stored);
    seedDomain(seeded);
    const QVariant before = storedDomain().value(QStringLiteral("quorvelEnabled"));

    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    QCOMPARE(model.quorvelEnabled(), on);
    QCOMPARE(storedDomain().value(QStringLiteral("quorvelEnabled")), before); // a read never rewrites
    model.setMailTitle(model.mailTitle());
    QCOMPARE(storedDomain().value(QStringLiteral("quorvelEnabled")), QVariant(on));
}

void TestModel::tickAndUntick()
{
    m_store.calendarList.append(MemoryCalendarStore::calendar(QStringLiteral("C"), QStringLiteral("Club")));
    QVariantMap seeded = fullDomain();
    seeded.insert(QStringLiteral("activeCalendars"), QStringList());
    seedDomain(seeded);
    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    ComKestramoCalendarsController *table = model.activeCalendarsController();
    QCOMPARE(table->rowCount(), 3);

    QVERIFY(table->setData(table->index(2, 0), Qt::Checked, Qt::CheckStateRole));
    QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), strings({"C"}));
    model.allCalendars().at(0)->setValueForKey(1, QStringLiteral("isCalendarEnabled"));
    QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), strings({"A", "C"}));
    QVERIFY(table->setData(table->index(2, 0), Qt::Unchecked, Qt::CheckStateRole));
    QCOMPARE(table->data(table->index(2, 0), Qt::CheckStateRole), QVariant(Qt::Unchecked));

    const QVariantMap stored = storedDomain();
    QCOMPARE(stored.value(QStringLiteral("activeCalendars")).toStringList(), strings({"A"}));
    // A tick stores every key, the text "0" becoming a boolean again.
    QCOMPARE(stored.value(QStringLiteral("quorvelEnabled")), QVariant(false));
    QCOMPARE(stored.size(), 7);
}

void TestModel::everySetStores_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<bool>("ofEntry");
    QTest::addColumn<bool>("stores");
    for (const char *name :
         {"quorvelEnabled", "verboseLogging", "daysBeforeEventStart", "senderEmail", "mailTitle", "mailContent"}) {
        QTest::newRow(name) << QByteArray(name) << false << true;
    }
    QTest::newRow("entry isCalendarEnabled") << QByteArray("isCalendarEnabled") << true << true;
    for (const char *name : {"daysList", "userEmails", "activeCalendars"}) {
        QTest::addRow("%s (not watched)", name) << QByteArray(name) << false << false;
    }
}

void TestModel::everySetStores()
{
    QFETCH(QByteArray, property);
    QFETCH(bool, ofEntry);
    QFETCH(bool, stores);
    seedDomain(fullDomain()); // "quorvelEnabled" as the text "0": any store turns it into a boolean
    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    QObject *target = ofEntry ? static_cast<QObject *>(model.allCalendars().at(1)) : &model;
    // Sets the value that the property already has.
    QVERIFY(target->setProperty(property.constData(), target->property(property.constData())));
    const QVariant enabled = storedDomain().value(QStringLiteral("quorvelEnabled"));
    QCOMPARE(enabled, stores ? QVariant(false) : QVariant(QStringLiteral("0")));
}

void TestModel::calendarNotifications_data()
{
    QTest::addColumn<bool>("withTable");
    QTest::addColumn<QVariantMap>("userInfo");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("storedActive"); // empty: the domain is left as it was

    const QString ins = CalendarStore::CalInsertedRecordsKey;
    const QString del = CalendarStore::CalDeletedRecordsKey;
    const QString upd = CalendarStore::CalUpdatedRecordsKey;
    const QStringList unchanged = strings({"A Home 0", "B Work 1"});
    struct Row
    {
        const char *name;
        QVariantMap userInfo;
        QStringList expected;
        QStringList storedActive;
    };
    const QList<Row> rows = {
        {"inserted: first only, at the end, enabled as already active",
         {{ins, strings({"X", "Y"})}},
         strings({"A Home 0", "B Work 1", "X New 1"}),
         {}},
        {"inserted: disabled when not active",
         {{ins, strings({"Y"})}},
         strings({"A Home 0", "B Work 1", "Y Other 0"}),
         {}},
        {"inserted: unknown to the store", {{ins, strings({"Z"})}}, unchanged, {}},
        {"inserted: already listed", {{ins, strings({"A"})}}, unchanged, {}},
        {"inserted and deleted: only the insertion",
         {{ins, strings({"Y"})}, {del, strings({"B"})}},
         strings({"A Home 0", "B Work 1", "Y Other 0"}),
         {}},
        {"empty inserted list hides the deletion", {{ins, QStringList()}, {del, strings({"B"})}}, unchanged, {}},
        {"deleted: first only, domain rewritten",
         {{del, strings({"B", "A"})}},
         strings({"A Home 0"}),
         strings({"(none)"})},
        {"deleted: unknown identifier", {{del, strings({"Q"})}}, unchanged, {}},
        {"updated: first only, new title, domain kept",
         {{upd, strings({"A", "B"})}},
         strings({"A Home 2 0", "B Work 1"}),
         {}},
        {"updated: unknown to the store", {{upd, strings({"B"})}}, unchanged, {}},
        {"no known key", {{QStringLiteral("other"), strings({"A"})}}, unchanged, {}},
    };
    for (const Row &row : rows) {
        for (bool withTable : {true, false}) {
            QTest::addRow("%s%s", row.name, withTable ? "" : " (no table)")
                << withTable << row.userInfo << row.expected << row.storedActive;
        }
    }
}

void TestModel::calendarNotifications()
{
    QFETCH(bool, withTable);
    QFETCH(QVariantMap, userInfo);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, storedActive);
    seedDomain(fullDomain()); // active: B and X, which does not exist yet
    ComKestramoPreferenceQuorvelModel model(true, &m_store);
    ComKestramoCalendarsController *table = withTable ? model.activeCalendarsController() : nullptr;
    const QVariantMap before = storedDomain();

    // What changed on disk: A renamed, B removed, X and Y added.
    m_store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("A"), QStringLiteral("Home 2")),
                            MemoryCalendarStore::calendar(QStringLiteral("X"), QStringLiteral("New")),
                            MemoryCalendarStore::calendar(QStringLiteral("Y"), QStringLiteral("Other"))};
    Q_EMIT m_store.calendarsChangedExternally(userInfo);

    QCOMPARE(entries(model), expected);
    if (table) {
        QCOMPARE(table->rowCount(), expected.size());
        const int last = expected.size() - 1;
        QCOMPARE(table->data(table->index(last, 1), Qt::DisplayRole),
                 QVariant(model.allCalendars().at(last)->calendarTitle()));
    }
    if (storedActive.isEmpty()) {
        QCOMPARE(storedDomain(), before);
    } else {
        QCOMPARE(storedDomain().value(QStringLiteral("activeCalendars")).toStringList(), QStringList());
        QCOMPARE(storedDomain().value(QStringLiteral("quorvelEnabled")), QVariant(false));
    }
    // A later tick of a newly listed calendar is stored.
    model.allCalendars().last()->setIsCalendarEnabled(1);
    QVERIFY(storedDomain()
                .value(QStringLiteral("activeCalendars"))
                .toStringList()
                .contains(model.allCalendars().last()->calendaUID()));
}

void TestModel::agentModelWritesOnlyDefaults()
{
    QVariantMap seeded = fullDomain();
    seeded.insert(QStringLiteral("senderEmail"), QStringLiteral("old@example.org"));
    seeded.remove(QStringLiteral("verboseLogging"));
    seedDomain(seeded);
    QVariantMap expected = storedDomain();
    expected.insert(QStringLiteral("verboseLogging"), false);

    ComKestramoPreferenceQuorvelModel model(false, &m_store);
    QCOMPARE(storedDomain(), expected);
    m_store.calendarList.removeLast();
    m_store.notify({}, strings({"B"}));
    QCOMPARE(entries(model), strings({"A Home 0", "B Work 1"}));
    QCOMPARE(storedDomain(), expected);
}

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
