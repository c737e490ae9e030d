#include "ComKestramoPreferenceQuorvelModel.h"
#include "addressbook.h"
#include "calendarstore.h"
#include "composition.h"
#include "throwawayhome.h"

#include <QTest>

#include <memory>

namespace {
// An address book in memory: the people whose addresses equal the one asked for, in card order.
class MemoryAddressBook : public AddressBook
{
public:
    std::optional<Person> me() const override { return std::nullopt; }
    QList<Person> peopleWithEmail(const QString &address) const override
    {
        QList<Person> found;
        for (const Person &person : people) {
            if (person.emails.contains(address)) {
                found.append(person);
            }
        }
        return found;
    }
    QList<Person> people;
};

Person person(const QString &first, const QString &last, const QString &email)
{
    return Person {email, first, last, {email}};
}

// 2010-03-06 03:30 UTC: 04:30 on 6 March in Paris, 22:30 on 5 March in New York.
Event eventAt()
{
    Event e;
    e.title = QStringLiteral("Secret title");
    e.startDate = QDateTime(QDate(2010, 3, 6), QTime(3, 30), Qt::UTC);
    return e;
}

const QString nnbsp(QChar(0x202F)); // CLDR 42 puts a narrow no-break space before AM/PM

QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}
} // namespace

class TestComposition : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>("Europe/Paris", "en_US.UTF-8");
        m_book.people
            = {person(QStringLiteral(" Ann\u00A0"), QStringLiteral("\tLee\u3000"), QStringLiteral("ann@example.org")),
               person(QStringLiteral("First"), QStringLiteral("Card"), QStringLiteral("shared@example.org")),
               person(QStringLiteral("Second"), QStringLiteral("Card"), QStringLiteral("shared@example.org")),
               person(QStringLiteral("Solo"), QString(), QStringLiteral("solo@example.org")),
               person(QStringLiteral(" \t"), QStringLiteral("<<first>>"), QStringLiteral("odd@example.org"))};
        AddressBook::setSharedAddressBook(&m_book);
        m_model = std::make_unique<ComKestramoPreferenceQuorvelModel>(false);
        m_model->setMailTitle(QString());
        m_model->setMailContent(QString());
    }
    void cleanup()
    {
        m_model.reset();
        AddressBook::setSharedAddressBook(nullptr);
        m_home.reset();
    }

    // Built-in texts in four locales and two zones: the same instant is a different local day.
    void defaultTexts_data()
    {
        QTest::addColumn<QByteArray>("lang");
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<QString>("shortDate");
        QTest::addColumn<QString>("longDate");
        QTest::addColumn<QString>("shortTime");
        const QByteArray paris("Europe/Paris"), newYork("America/New_York");
        QTest::newRow("en_US Paris") << QByteArray("en_US.UTF-8") << paris << u("3/6/10") << u("March 6, 2010")
                                     << u("4:30") + nnbsp + u("AM");
        QTest::newRow("en_US New York") << QByteArray("en_US.UTF-8") << newYork << u("3/5/10") << u("March 5, 2010")
                                        << u("10:30") + nnbsp + u("PM");
        QTest::newRow("fr_FR Paris") << QByteArray("fr_FR.UTF-8") << paris << u("06/03/2010") << u("6 mars 2010")
                                     << u("04:30");
        QTest::newRow("fr_FR New York") << QByteArray("fr_FR.UTF-8") << newYork << u("05/03/2010") << u("5 mars 2010")
                                        << u("22:30");
        QTest::newRow("de_DE Paris") << QByteArray("de_DE.UTF-8") << paris << u("06.03.10") << u("6. M\u00e4rz 2010")
                                     << u("04:30");
        QTest::newRow("de_DE@euro New York")
            << QByteArray("de_DE@euro") << newYork << u("05.03.10") << u("5. M\u00e4rz 2010") << u("22:30");
        QTest::newRow("ja_JP Paris") << QByteArray("ja_JP.UTF-8") << paris << u("2010/03/06")
                                     << u("2010\u5e743\u67086\u65e5") << u("4:30");
        QTest::newRow("ja_JP New York") << QByteArray("ja_JP.UTF-8") << newYork << u("2010/03/05")
                                        << u("2010\u5e743\u67085\u65e5") << u("22:30");
        QTest::newRow("C locale") << QByteArray("C") << newYork << u("3/5/10") << u("March 5, 2010")
                                  << u("10:30") + nnbsp + u("PM");
    }
    void defaultTexts()
    {
        QFETCH(QByteArray, lang);
        QFETCH(QByteArray, tz);
        QFETCH(QString, shortDate);
        QFETCH(QString, longDate);
        QFETCH(QString, shortTime);
        m_home->setEnv("TZ", tz);
        m_home->setEnv("LANG", lang);
        m_model->setMailTitle(QStringLiteral(" \t\u00A0\u2003"));
        QCOMPARE(buildReminderSubject(*m_model, eventAt()),
                 QStringLiteral("Appointement reminder (%1)").arg(shortDate));
        QCOMPARE(
            buildReminderBody(*m_model, eventAt(), QStringLiteral("ann@example.org")),
            QStringLiteral("Hello,\nthis email is a reminder,\nremember your appointement on %1 at %2\n\nbest regards")
                .arg(longDate, shortTime));
    }

    void localeVariablesInOrder()
    {
        m_home->setEnv("LANG", "de_DE.UTF-8");
        m_home->setEnv("LC_TIME", "fr_FR.UTF-8");
        m_model->setMailTitle(QStringLiteral("<<date>>"));
        QCOMPARE(buildReminderSubject(*m_model, eventAt()), QStringLiteral("06/03/2010"));
        m_home->setEnv("LC_ALL", "ja_JP.UTF-8");
        QCOMPARE(buildReminderSubject(*m_model, eventAt()), QStringLiteral("2010/03/06"));
    }

    void subject_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("expected");
        QTest::newRow("padded subject is trimmed")
            << QStringLiteral(" \tHi <<date>>\u00A0 ") << QStringLiteral("Hi 3/6/10");
        QTest::newRow("other placeholders stay") << QStringLiteral("<<time>> <<first>> <<last>> <<date>>")
                                                 << QStringLiteral("<<time>> <<first>> <<last>> 3/6/10");
        QTest::newRow("date twice, adjacent") << QStringLiteral("<<date>><<date>>") << QStringLiteral("3/6/103/6/10");
        QTest::newRow("mis-cased placeholder stays")
            << QStringLiteral("<<Date>> <<DATE>>") << QStringLiteral("<<Date>> <<DATE>>");
        QTest::newRow("unmatched brackets")
            << QStringLiteral("<<date <<<date>> >> <<") << QStringLiteral("<<date <3/6/10 >> <<");
        QTest::newRow("percent signs are text")
            << QStringLiteral("%1 %@ %s <<date>>") << QStringLiteral("%1 %@ %s 3/6/10");
        QTest::newRow("line breaks are not trimmed") << QStringLiteral("\n<<date>>\n") << QStringLiteral("\n3/6/10\n");
        QTest::newRow("lone surrogate survives")
            << QString(QChar(0xD800)) + QStringLiteral("<<date>>") << QString(QChar(0xD800)) + QStringLiteral("3/6/10");
    }
    void subject()
    {
        QFETCH(QString, title);
        QFETCH(QString, expected);
        m_model->setMailTitle(title);
        QCOMPARE(buildReminderSubject(*m_model, eventAt()), expected);
    }

    void body_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        const QString ann = QStringLiteral("ann@example.org");
        QTest::newRow("padded names are trimmed")
            << QStringLiteral("Dear <<first>> <<last>>,") << ann << QStringLiteral("Dear Ann Lee,");
        QTest::newRow("unknown recipient keeps the space")
            << QStringLiteral("Dear <<first>> <<last>>,") << QStringLiteral("bob@example.org")
            << QStringLiteral("Dear  ,");
        QTest::newRow("address compared exactly")
            << QStringLiteral("<<first>>") << QStringLiteral("ANN@example.org") << QString();
        QTest::newRow("missing last name")
            << QStringLiteral("<<first>>|<<last>>") << QStringLiteral("solo@example.org") << QStringLiteral("Solo|");
        QTest::newRow("first of two cards") << QStringLiteral("<<first>> <<last>>")
                                            << QStringLiteral("shared@example.org") << QStringLiteral("First Card");
        QTest::newRow("blank name is empty, names are not re-read")
            << QStringLiteral("[<<first>>][<<last>>]") << QStringLiteral("odd@example.org")
            << QStringLiteral("[][<<first>>]");
        QTest::newRow("date and time") << QStringLiteral("<<date>> at <<time>>") << ann
                                       << u("March 6, 2010 at 4:30") + nnbsp + u("AM");
        QTest::newRow("adjacent and repeated") << QStringLiteral("<<time>><<date>><<time>>") << ann
                                               << u("4:30") + nnbsp + u("AMMarch 6, 20104:30") + nnbsp + u("AM");
        QTest::newRow("mis-cased placeholders stay")
            << QStringLiteral("<<First>> <<TIME>> <<Date>>") << ann << QStringLiteral("<<First>> <<TIME>> <<Date>>");
        QTest::newRow("line breaks only") << QStringLiteral("\n\n") << ann << QStringLiteral("\n\n");
        QTest::newRow("spaces trimmed, line breaks kept")
            << QStringLiteral(" \t\nHello <<first>>\n\u00A0\t") << ann << QStringLiteral("\nHello Ann\n");
        QTest::newRow("percent signs are text")
            << QStringLiteral("%1 %@ <<first>>") << ann << QStringLiteral("%1 %@ Ann");
    }
    void body()
    {
        QFETCH(QString, content);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        m_model->setMailContent(content);
        QCOMPARE(buildReminderBody(*m_model, eventAt(), address), expected);
    }

    void withoutAddressBook()
    {
        AddressBook::setSharedAddressBook(nullptr); // the throw-away home has no contacts folder
        QVERIFY(!mailOwner(QStringLiteral("ann@example.org")));
        m_model->setMailContent(QStringLiteral("Hi <<first>><<last>>!"));
        QCOMPARE(buildReminderBody(*m_model, eventAt(), QStringLiteral("ann@example.org")), QStringLiteral("Hi !"));
    }

    void hugeTemplate()
    {
        const QString unit = QStringLiteral("<<date>> <<first>> << ");
        m_model->setMailContent(unit.repeated(50000));
        QCOMPARE(buildReminderBody(*m_model, eventAt(), QStringLiteral("ann@example.org")),
                 QStringLiteral("March 6, 2010 Ann << ").repeated(49999) + QStringLiteral("March 6, 2010 Ann <<"));
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    MemoryAddressBook m_book;
    std::unique_ptr<ComKestramoPreferenceQuorvelModel> m_model;
};

QTEST_GUILESS_MAIN(TestComposition)
#include "tst_composition.moc"
