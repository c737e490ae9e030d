#include "ComKestramoPreferenceQuorvelModel.h"
#include "ComKestramoPreferencesUtils.h"
#include "bundle.h"
#include "memoryaddressbook.h"
#include "memorycalendarstore.h"
#include "propertylist.h"
#include "storedpreferences.h"
#include "throwawayhome.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {
QStringList strings(const char *words)
{
    return QString::fromUtf8(words).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

const QString enabledKey = QStringLiteral("quorvelEnabled");
const QString verboseKey = QStringLiteral("verboseLogging");
const QString activeKey = QStringLiteral("activeCalendars");
const QString senderKey = QStringLiteral("senderEmail");

// The entries as "uid title enabled, ...".
QString entries(const ComKestramoPreferenceQuorvelModel &model)
{
    QStringList list;
    for (const ComKestramoCalendarEntry *entry : model.allCalendars()) {
        list.append(entry->calendaUID() + QLatin1Char(' ') + entry->calendarTitle() + QLatin1Char(' ')
                    + entry->isCalendarEnabled().toString());
    }
    return list.join(QStringLiteral(", "));
}
} // namespace

class TestModel : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_pane = std::make_unique<Bundle>(buildPath(QStringLiteral("Ruvelant.prefPane")));
        Bundle::setMainBundle(m_pane.get());
        m_book.meCard = Person {QStringLiteral("me-1"), {}, {}, strings("me@example.com work@example.org")};
        AddressBook::setSharedAddressBook(&m_book);
        m_store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("A"), QStringLiteral("Home")),
                                MemoryCalendarStore::calendar(QStringLiteral("B"), QStringLiteral("Work"))};
    }
    void cleanup()
    {
        AddressBook::setSharedAddressBook(nullptr);
        Bundle::setMainBundle(nullptr);
        m_home.reset();
    }

    void emptyDomainStoresDefaults_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QString>("title");
        QTest::newRow("English") << QByteArray("en_US.UTF-8") << "Reminder: your appointment on <<date>>";
        QTest::newRow("French") << QByteArray("fr_FR.UTF-8") << "Rappel : votre rendez-vous du <<date>>";
        QTest::newRow("German") << QByteArray("de_DE.UTF-8") << "Erinnerung: Ihr Termin am <<date>>";
    }
    void emptyDomainStoresDefaults()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QString, title);
        m_home->setEnv("LANG", lang);
        ComKestramoPreferenceQuorvelModel model(true, &m_store);
        QCOMPARE(model.daysList(), strings("1 2 3 4 5 6 7"));
        QCOMPARE(entries(model), QStringLiteral("A Home 0, B Work 0"));
        for (const char *placeholder : {"<<first>>", "<<date>>", "<<time>>"})
            QVERIFY2(model.mailContent().contains(QLatin1String(placeholder)), placeholder);
        const QVariantMap defaults {{enabledKey, false},
                                    {verboseKey, false},
                                    {QStringLiteral("daysBeforeEventStart"), QStringLiteral("4")},
                                    {activeKey, QVariantList()},
                                    {QStringLiteral("mailTitle"), title},
                                    {QStringLiteral("mailContent"), model.mailContent()},
                                    {senderKey, QStringLiteral(" ")},
                                    {QStringLiteral("sendMissedReminders"), true}};
        QCOMPARE(storedDomain(), defaults);
        for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) { // the model holds what it stored
            QVERIFY2(model.property(qPrintable(it.key())) == *it, qPrintable(it.key()));
        }
    }

    void staleValuesStayUntilTheNextStore_data()
    {
        QTest::addColumn<int>("book"); // 0 no address book, 1 no me card, 2 me card with two addresses
        QTest::addColumn<QString>("storedSender");
        QTest::addColumn<QString>("sender");
        QTest::newRow("no address book") << 0 << QStringLiteral("me@example.com") << QStringLiteral(" ");
        QTest::newRow("no me card") << 1 << QStringLiteral("me@example.com") << QStringLiteral(" ");
        QTest::newRow("second address kept")
            << 2 << QStringLiteral("work@example.org") << QStringLiteral("work@example.org");
        QTest::newRow("stale address falls back") << 2 << QStringLiteral("old@example.org") << QStringLiteral(" ");
    }
    void staleValuesStayUntilTheNextStore()
    {
        QFETCH(int, book);
        QFETCH(QString, storedSender);
        QFETCH(QString, sender);
        if (book == 0) {
            AddressBook::setSharedAddressBook(nullptr); // the home has no contacts folder
        } else if (book == 1) {
            m_book.meCard.reset();
        }
        m_store.calendarList.insert(
            1, MemoryCalendarStore::calendar(QStringLiteral("S"), {}, QStringLiteral("Subscription")));
        storePreferences({{senderKey, storedSender}, {activeKey, strings("gone S B")}});

        ComKestramoPreferenceQuorvelModel model(true, &m_store);
        QCOMPARE(model.userEmails().join(QLatin1Char('|')),
                 book == 2 ? QStringLiteral(" |me@example.com|work@example.org") : QStringLiteral(" "));
        QCOMPARE(model.senderEmail(), sender);
        QCOMPARE(entries(model), QStringLiteral("A Home 0, B Work 1"));
        QCOMPARE(storedDomain().value(senderKey).toString(), storedSender);
        QCOMPARE(storedDomain().value(activeKey).toStringList(), strings("gone S B"));
        // Any store writes the list of ticked entries in list order, not in the order of the ticks.
        model.allCalendars().at(0)->setValueForKey(1, QStringLiteral("isCalendarEnabled"));
        QCOMPARE(storedDomain().value(senderKey).toString(), sender);
        QCOMPARE(storedDomain().value(activeKey).toStringList(), strings("A B"));
        ComKestramoCalendarsController *table = model.activeCalendarsController();
        QVERIFY(table->setData(table->index(1, 0), Qt::Unchecked, Qt::CheckStateRole));
        QCOMPARE(storedDomain().value(activeKey).toStringList(), strings("A"));
        QCOMPARE(model.activeCalendars(), strings("A"));
    }

    // Whatever was stored, every set (even to the same value) stores all keys, "quorvelEnabled" as a boolean.
    void everySetStoresEnabledAsBoolean_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<bool>("on");
        for (const char *name : {"quorvelEnabled", "verboseLogging", "daysBeforeEventStart", "senderEmail", "mailTitle",
                                 "mailContent", "sendMissedReminders", "isCalendarEnabled"}) {
            QTest::addRow("text 0, set %s", name) << QVariant(QStringLiteral("0")) << QByteArray(name) << false;
        }
        const QByteArray title("mailTitle");
        QTest::newRow("text 1") << QVariant(QStringLiteral("1")) << title << true;
        QTest::newRow("text without number") << QVariant(QStringLiteral("yes")) << title << false;
        QTest::newRow("boolean true") << QVariant(true) << title << true;
        QTest::newRow("integer 256 is not truncated to off") << QVariant(256) << title << true;
        QTest::newRow("array of one text") << QVariant(strings("1")) << title << false;
    }
    void everySetStoresEnabledAsBoolean()
    {
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, property);
        QFETCH(bool, on);
        storePreferences({{enabledKey, stored}});
        ComKestramoPreferenceQuorvelModel model(true, &m_store);
        QCOMPARE(model.quorvelEnabled(), on);
        QObject *target = property == "isCalendarEnabled" ? static_cast<QObject *>(model.allCalendars().at(1)) : &model;
        QVERIFY(target->setProperty(property.constData(), target->property(property.constData())));
        const QVariant enabled = storedDomain().value(enabledKey);
        QCOMPARE(enabled.userType(), int(QMetaType::Bool));
        QCOMPARE(enabled, QVariant(on));
    }

    // Store changes, each with and without the calendars table made.
    void calendarNotifications_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QStringList>("columns"); // the change, the entries after it, flags
        const QString text = QString::fromUtf8(readFile(QFINDTESTDATA("../data/preferences/notifications.txt")));
        for (const QString &line : text.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^[^#]")))) {
            const QStringList columns = line.split(QRegularExpression(QStringLiteral("\\s*\\|\\s*")));
            for (bool withTable : {true, false}) {
                QTest::addRow("%s%s", qPrintable(columns.first()), withTable ? "" : " (no table)")
                    << withTable << QStringList(columns.mid(1));
            }
        }
    }
    void calendarNotifications()
    {
        QFETCH(bool, withTable);
        QFETCH(QStringList, columns);
        QVariantMap userInfo;
        for (const QString &change : columns.at(0).split(QLatin1Char(';'))) {
            const QStringList words = change.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            userInfo.insert(words.value(0), QVariant(words.mid(1)));
        }
        storePreferences({{verboseKey, QVariant()}, {activeKey, strings("B X")}});
        QVariantMap domain = storedDomain();
        domain.insert(verboseKey, false); // loading stores the missing default and nothing else
        ComKestramoPreferenceQuorvelModel model(columns.value(2) != QLatin1String("not listening"), &m_store);
        ComKestramoCalendarsController *table = withTable ? model.activeCalendarsController() : nullptr;
        QCOMPARE(storedDomain(), domain);
        int rowsAdded = 0; // as the table announces them to its views
        if (table) {
            connect(table, &QAbstractItemModel::rowsInserted, [&rowsAdded] { ++rowsAdded; });
            connect(table, &QAbstractItemModel::rowsRemoved, [&rowsAdded] { --rowsAdded; });
        }

        // What changed on disk: A renamed, B removed, X and Y added.
        m_store.calendarList = {MemoryCalendarStore::calendar(QStringLiteral("A"), QStringLiteral("Home 2")),
                                MemoryCalendarStore::calendar(QStringLiteral("X"), QStringLiteral("New")),
                                MemoryCalendarStore::calendar(QStringLiteral("Y"), QStringLiteral("Other"))};
        Q_EMIT m_store.calendarsChangedExternally(userInfo);
        QCOMPARE(entries(model), columns.at(1));
        if (table) {
            QCOMPARE(2 + rowsAdded, model.allCalendars().size());
            QCOMPARE(table->data(table->index(table->rowCount() - 1, 1), Qt::DisplayRole),
                     QVariant(model.allCalendars().last()->calendarTitle()));
        }
        if (columns.value(2) == QLatin1String("stores"))
            domain.insert(activeKey, QVariantList());
        QCOMPARE(storedDomain(), domain);
        // A later tick of a newly listed calendar is stored.
        model.allCalendars().last()->setIsCalendarEnabled(1);
        QVERIFY(storedDomain().value(activeKey).toStringList().contains(model.allCalendars().last()->calendaUID()));
    }

    // Settings that another program stores while the model lives are kept: an edit of another
    // setting stores that one alone, and the model takes the newer values up and shows them.
    void changesOfOtherProgramsSurvive_data()
    {
        QTest::addColumn<QVariantMap>("storedElsewhere");
        QTest::addColumn<QByteArray>("edited"); // a property of the model, or "isCalendarEnabled" of entry A
        QTest::addColumn<QVariant>("to");
        QTest::addColumn<QVariantMap>("expected"); // in the domain and the model afterwards
        const QVariantMap title {{"mailTitle"_qs, "Soon"_qs}};
        QTest::newRow("subject stored elsewhere, then verbose ticked")
            << title << QByteArray("verboseLogging") << QVariant(false)
            << QVariantMap {{"mailTitle"_qs, "Soon"_qs}, {verboseKey, false}};
        QTest::newRow("days stored elsewhere, then a calendar ticked")
            << QVariantMap {{"daysBeforeEventStart"_qs, "2"_qs}} << QByteArray("isCalendarEnabled") << QVariant(1)
            << QVariantMap {{"daysBeforeEventStart"_qs, "2"_qs}, {activeKey, strings("A")}};
        QTest::newRow("calendars stored elsewhere, then the subject typed")
            << QVariantMap {{activeKey, strings("A")}} << QByteArray("mailTitle") << QVariant("Hi"_qs)
            << QVariantMap {{activeKey, strings("A")}, {"mailTitle"_qs, "Hi"_qs}};
        QTest::newRow("switched off elsewhere, then days chosen")
            << QVariantMap {{enabledKey, false}} << QByteArray("daysBeforeEventStart") << QVariant("6"_qs)
            << QVariantMap {{enabledKey, false}, {"daysBeforeEventStart"_qs, "6"_qs}};
        QTest::newRow("the same setting edited here afterwards: the edit wins")
            << title << QByteArray("mailTitle") << QVariant("Mine"_qs) << QVariantMap {{"mailTitle"_qs, "Mine"_qs}};
    }
    void changesOfOtherProgramsSurvive()
    {
        QFETCH(QVariantMap, storedElsewhere);
        QFETCH(QByteArray, edited);
        QFETCH(QVariant, to);
        QFETCH(QVariantMap, expected);
        storePreferences();
        ComKestramoPreferenceQuorvelModel model(false, &m_store); // not watching: only its own store sees it
        PreferenceService elsewhere(ComKestramoPreferencesUtils::domain);
        for (auto it = storedElsewhere.cbegin(); it != storedElsewhere.cend(); ++it)
            elsewhere.setValue(it.key(), *it);
        QVERIFY(elsewhere.synchronize());
        QObject *target = edited == "isCalendarEnabled" ? static_cast<QObject *>(model.allCalendars().at(0)) : &model;
        QVERIFY(target->setProperty(edited.constData(), to));
        const QVariantMap domain = storedDomain();
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(PropertyList::sameValue(domain.value(it.key()), *it), qPrintable(it.key()));
            QVERIFY2(PropertyList::sameValue(model.property(qPrintable(it.key())), *it), qPrintable(it.key()));
        }
        QCOMPARE(entries(model).contains("A Home 1"_qs), domain.value(activeKey).toStringList().contains("A"_qs));
    }

    // The pane's model shows what another program stores while the pane is open, and writes
    // nothing for it.
    void followsTheDomainWhileOpen()
    {
        storePreferences();
        ComKestramoPreferenceQuorvelModel model(true, &m_store);
        QSignalSpy shown(&model, &ComKestramoPreferenceQuorvelModel::daysBeforeEventStartChanged);
        PreferenceService elsewhere(ComKestramoPreferencesUtils::domain);
        elsewhere.setValue("daysBeforeEventStart"_qs, "6"_qs);
        elsewhere.setValue(activeKey, strings("A"));
        QVERIFY(elsewhere.synchronize());
        const QByteArray written = readFile(elsewhere.filePath());
        QTRY_COMPARE(model.daysBeforeEventStart(), "6"_qs);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(entries(model), "A Home 1, B Work 0"_qs);
        QVERIFY(readFile(elsewhere.filePath()) == written);
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_pane;
    MemoryAddressBook m_book;
    MemoryCalendarStore m_store;
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
