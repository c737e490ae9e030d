// Finding an account's calendars on a server that misbehaves: the password stays on the origin
// given, answers and time are bounded, and calendars whose names no file could keep are left out.
// (Going on to an origin the user confirmed is tested through the dialog, in tst_hostileservers.)
#include "caldavdiscovery.h"
#include "scripteddavserver.h"
#include "throwawayhome.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(CalDavFailure)

namespace {
// The discovery's answer, once it came (a failure "Other" when it did not within timeoutMs).
CalDavDiscovery::Result discover(CalDavDiscovery &discovery, const QString &address, int timeoutMs = 60000)
{
    QSignalSpy finished(&discovery, &CalDavDiscovery::finished);
    discovery.start(address, "alice"_qs, "alice-password"_qs);
    if (!finished.wait(timeoutMs)) {
        CalDavDiscovery::Result none;
        none.failure = CalDavFailure::Other;
        none.detail = "no answer"_qs;
        return none;
    }
    return finished.first().first().value<CalDavDiscovery::Result>();
}

QStringList names(const QList<CalDavCalendar> &calendars)
{
    QStringList result;
    for (const CalDavCalendar &calendar : calendars)
        result.append(calendar.collection);
    return result;
}
} // namespace

class CalDavDiscoveryTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // A server that sends on to another origin does not get the password there; one that stays
    // on its own is followed as before.
    void otherOrigin_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("moved"); // the search stops at the other origin
        QTest::addColumn<QStringList>("calendars"); // else those found
        QTest::newRow("redirect to another port") << "redirect"_qs << true << QStringList();
        QTest::newRow("calendar home on another origin") << "home-elsewhere"_qs << true << QStringList();
        QTest::newRow("principal on another origin") << "principal-elsewhere"_qs << true << QStringList();
        QTest::newRow("a calendar listed on another origin is left out")
            << "calendar-elsewhere"_qs << false << QStringList {"mine"_qs};
        QTest::newRow("redirect within its own origin")
            << "same-origin-redirect"_qs << false << QStringList {"work"_qs};
    }
    void otherOrigin()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, moved);
        QFETCH(QStringList, calendars);
        ScriptedDavServer server(scenario);
        QVERIFY(server.start());
        CalDavDiscovery discovery;
        const CalDavDiscovery::Result result = discover(discovery, server.url());
        QCOMPARE(server.requestsWithCredentials(server.otherPort()), 0);
        if (moved) {
            QCOMPARE(result.failure, CalDavFailure::ServerMoved);
            QCOMPARE(CalDavAccounts::origin(result.movedTo), CalDavAccounts::origin(QUrl(server.otherUrl())));
            // Over http, no one is asked to go on there.
            QVERIFY(!discovery.canFollow());
            QVERIFY(!discovery.follow());
            return;
        }
        QCOMPARE(result.failure, CalDavFailure::None);
        QCOMPARE(names(result.calendars), calendars);
        QCOMPARE(CalDavAccounts::origin(QUrl(result.home)), CalDavAccounts::origin(QUrl(server.url())));
        for (const CalDavCalendar &calendar : result.calendars)
            QCOMPARE(CalDavAccounts::origin(QUrl(calendar.url)), CalDavAccounts::origin(QUrl(server.url())));
    }

    // No answer is read past the size bound, no request or search lasts past its time bound.
    void bounds_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("requestMs");
        QTest::addColumn<int>("searchMs");
        QTest::addColumn<CalDavFailure>("failure");
        QTest::newRow("150 MB announced") << "huge"_qs << 20000 << 40000 << CalDavFailure::NotCalDav;
        QTest::newRow("150 MB without a length") << "huge-unannounced"_qs << 20000 << 40000 << CalDavFailure::NotCalDav;
        QTest::newRow("an answer without end") << "endless"_qs << 20000 << 40000 << CalDavFailure::NotCalDav;
        QTest::newRow("one byte every 10 s: the request") << "slow"_qs << 2000 << 60000 << CalDavFailure::Unreachable;
        QTest::newRow("one byte every 10 s: the search") << "slow"_qs << 60000 << 2000 << CalDavFailure::Unreachable;
    }
    void bounds()
    {
        QFETCH(QString, scenario);
        QFETCH(int, requestMs);
        QFETCH(int, searchMs);
        QFETCH(CalDavFailure, failure);
        ScriptedDavServer server(scenario);
        QVERIFY(server.start());
        CalDavLimits limits;
        limits.requestTime = std::chrono::milliseconds(requestMs);
        limits.discoveryTime = std::chrono::milliseconds(searchMs);
        CalDavDiscovery discovery(nullptr, limits);
        const CalDavDiscovery::Result result = discover(discovery, server.url(), 30000);
        QVERIFY2(result.failure == failure, qPrintable(result.detail));
        // What the server got out before it was cut off: the bound, and what the sockets hold.
        QVERIFY2(server.largestCutOffAnswer() < 64 * 1024 * 1024,
                 qPrintable(QString::number(server.largestCutOffAnswer())));
    }

    // Calendars whose names hold a NUL, a control character or a non-character are left out;
    // the others are found.
    void namesThatCannotBeKept()
    {
        ScriptedDavServer server("names"_qs);
        QVERIFY(server.start());
        CalDavDiscovery discovery;
        const CalDavDiscovery::Result result = discover(discovery, server.url());
        QCOMPARE(result.failure, CalDavFailure::None);
        QCOMPARE(names(result.calendars), QStringList {"work"_qs});
    }
};

QTEST_GUILESS_MAIN(CalDavDiscoveryTest)
#include "tst_caldavdiscovery.moc"
