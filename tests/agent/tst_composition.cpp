#include "ComKestramoPreferenceQuorvelModel.h"
#include "calendarstore.h"
#include "composition.h"
#include "datatable.h"
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

    // Built-in texts for blank templates, in four locales and two zones.
    void defaultTexts_data()
    {
        dataTable<QByteArray, QString, QString, QString>("composition/defaulttexts.txt",
                                                         {"env", "shortDate", "longDate", "shortTime"});
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

    void templates_data()
    {
        dataTable<QString, QString, QString>("composition/templates.txt", {"text", "address", "expected"});
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
