#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "composition.h"
#include "memoryaddressbook.h"
#include "throwawayhome.h"

#include <QTest>

#include <memory>

namespace {
QString u(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

Person person(const char *first, const char *last)
{
    return Person {QString(), u(first), u(last), {}};
}
} // namespace

class TestComposition : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>();
        m_book.cards = {{u("ann@example.org"), {person(" Ann\u00A0", "\tLee\u3000")}},
                        {u("shared@example.org"), {person("First", "Card"), person("Second", "Card")}},
                        {u("solo@example.org"), {person("Solo", nullptr)}},
                        {u("odd@example.org"), {person(" \t", "<<first>>")}}};
        AddressBook::setSharedAddressBook(&m_book);
        m_model = std::make_unique<ComKestramoPreferenceQuorvelModel>(false);
        // 2010-03-06 03:30 UTC: 04:30 on 6 March in Paris, 22:30 on 5 March in New York.
        m_event.title = QStringLiteral("Secret title");
        m_event.startDate = QDateTime(QDate(2010, 3, 6), QTime(3, 30), Qt::UTC);
    }
    void cleanup()
    {
        m_model.reset();
        AddressBook::setSharedAddressBook(nullptr);
        m_home.reset();
    }

    // Built-in texts for blank templates, in four locales and two zones: the same instant is a
    // different local day. "env" sets TZ, then LANG, LC_TIME and LC_ALL.
    void defaultTexts_data()
    {
        QTest::addColumn<QByteArray>("env");
        QTest::addColumn<QString>("shortDate");
        QTest::addColumn<QString>("longDate");
        QTest::addColumn<QString>("shortTime");
        const auto row = [](const char *env, const char *shortDate, const char *longDate, const char *shortTime) {
            QTest::newRow(env) << QByteArray(env) << u(shortDate) << u(longDate) << u(shortTime);
        };
        // CLDR puts a narrow no-break space before AM/PM.
        row("Europe/Paris en_US.UTF-8", "3/6/10", "March 6, 2010", "4:30\u202FAM");
        row("America/New_York en_US.UTF-8", "3/5/10", "March 5, 2010", "10:30\u202FPM");
        row("Europe/Paris fr_FR.UTF-8", "06/03/2010", "6 mars 2010", "04:30");
        row("Europe/Paris de_DE.UTF-8", "06.03.10", "6. M\u00e4rz 2010", "04:30");
        row("America/New_York de_DE@euro", "05.03.10", "5. M\u00e4rz 2010", "22:30");
        row("Europe/Paris ja_JP.UTF-8", "2010/03/06", "2010\u5e743\u67086\u65e5", "4:30");
        row("America/New_York C", "3/5/10", "March 5, 2010", "10:30\u202FPM");
        // LC_TIME wins over LANG, LC_ALL over both.
        row("Europe/Paris de_DE.UTF-8 fr_FR.UTF-8", "06/03/2010", "6 mars 2010", "04:30");
        row("Europe/Paris de_DE.UTF-8 fr_FR.UTF-8 ja_JP.UTF-8", "2010/03/06", "2010\u5e743\u67086\u65e5", "4:30");
    }
    void defaultTexts()
    {
        QFETCH(QByteArray, env);
        QFETCH(QString, shortDate);
        QFETCH(QString, longDate);
        QFETCH(QString, shortTime);
        const char *const variables[] = {"TZ", "LANG", "LC_TIME", "LC_ALL"};
        const QList<QByteArray> values = env.split(' ');
        for (int i = 0; i < values.size(); ++i) {
            m_home->setEnv(variables[i], values.at(i));
        }
        m_model->setMailTitle(u(" \t\u00A0\u2003"));
        m_model->setMailContent(u("\t\u00A0 "));
        QCOMPARE(buildReminderSubject(*m_model, m_event), QStringLiteral("Appointement reminder (%1)").arg(shortDate));
        QCOMPARE(
            buildReminderBody(*m_model, m_event, QStringLiteral("ann@example.org")),
            QStringLiteral("Hello,\nthis email is a reminder,\nremember your appointement on %1 at %2\n\nbest regards")
                .arg(longDate, shortTime));
    }

    // Subject (no address) and body templates at 04:30 on 6 March 2010 in en_US.
    void templates_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *text, const char *address, const char *expected) {
            QTest::newRow(name) << u(text) << u(address) << u(expected);
        };
        row("subject: padded", " \tHi <<date>>\u00A0 ", nullptr, "Hi 3/6/10");
        row("subject: other and mis-cased placeholders and % stay", "%1 <<time>> <<first>> <<last>> <<Date>> <<date>>",
            nullptr, "%1 <<time>> <<first>> <<last>> <<Date>> 3/6/10");
        row("subject: repeated, adjacent, stray brackets", "<<date <<date>><<<date>> >> <<", nullptr,
            "<<date 3/6/10<3/6/10 >> <<");
        const char *ann = "ann@example.org";
        row("body: padded, padded names", " \t\nHello <<first>> <<last>>\n\u00A0\t", ann, "\nHello Ann Lee\n");
        row("body: unknown recipient", "Dear <<first>> <<last>>,", "bob@example.org", "Dear  ,");
        row("body: missing last name", "<<first>>|<<last>>", "solo@example.org", "Solo|");
        row("body: first of two cards", "<<first>> <<last>>", "shared@example.org", "First Card");
        row("body: blank name, names not re-read", "[<<first>>][<<last>>]", "odd@example.org", "[][<<first>>]");
        row("body: repeated and adjacent", "<<time>><<date>><<time>>", ann, "4:30\u202FAMMarch 6, 20104:30\u202FAM");
        row("body: mis-cased placeholders and % stay", "%1 %@ <<first>> <<First>> <<TIME>> <<Date>>", ann,
            "%1 %@ Ann <<First>> <<TIME>> <<Date>>");
        row("body: line breaks only", "\n\n", ann, "\n\n");
    }
    void templates()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        if (address.isNull()) {
            m_model->setMailTitle(text);
            QCOMPARE(buildReminderSubject(*m_model, m_event), expected);
        } else {
            m_model->setMailContent(text);
            QCOMPARE(buildReminderBody(*m_model, m_event, address), expected);
        }
    }

    void withoutAddressBook()
    {
        AddressBook::setSharedAddressBook(nullptr); // the throw-away home has no contacts folder
        m_model->setMailContent(QStringLiteral("Hi <<first>><<last>>!"));
        QCOMPARE(buildReminderBody(*m_model, m_event, QStringLiteral("ann@example.org")), QStringLiteral("Hi !"));
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    MemoryAddressBook m_book;
    std::unique_ptr<ComKestramoPreferenceQuorvelModel> m_model;
    Event m_event;
};

QTEST_GUILESS_MAIN(TestComposition)
#include "tst_composition.moc"
