// The reminders that the pane lists as sent, read from the agent's log.
#include "sentreminders.h"
#include "throwawayhome.h"

#include <QFile>
#include <QSet>
#include <QTest>

#include <atomic>
#include <thread>

namespace {
const QDate today(2026, 12, 7);

// "outcome event|address|detail" per reminder.
QStringList described(const QList<SentReminder> &reminders)
{
    static const char *const outcomes[] = {"sent", "failed", "no address", "sending"};
    QStringList lines;
    for (const SentReminder &reminder : reminders) {
        lines.append(
            QStringLiteral("%1 %2|%3|%4")
                .arg(QLatin1String(outcomes[reminder.outcome]), reminder.event, reminder.address, reminder.detail));
    }
    return lines;
}

QByteArray record(int pid, const char *level, const QByteArray &text, const char *time = "Dec  6 10:00:00")
{
    return QByteArray(time) + " host RuvelantAgent[" + QByteArray::number(pid) + "] <" + level + ">: " + text + '\n';
}
} // namespace

class SentRemindersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fromRecords_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("taken, then the run goes on") << record(1, "Info", " Dentist  ->ann@example.org")
                + record(1, "Info", "terminated") << QStringList {QStringLiteral("sent Dentist|ann@example.org|")};
        QTest::newRow("refused by sendmail")
            << record(1, "Info", " Dentist  ->ann@example.org")
                + record(1, "Error",
                         "Failed to hand over the reminder to 'ann@example.org': sendmail exited with status 75")
            << QStringList {QStringLiteral("failed Dentist|ann@example.org|sendmail exited with status 75")};
        QTest::newRow("no mail system")
            << record(1, "Info", " Dentist  ->ann@example.org")
                + record(1, "Error", "Cannot create Scripting Bridge to Mail.app") + record(1, "Info", "terminated")
            << QStringList {
                   QStringLiteral("failed Dentist|ann@example.org|Cannot create Scripting Bridge to Mail.app")};
        QTest::newRow("attendee without address")
            << record(1, "Error", "Failed to notify 'Bob', its AddressBook contact does not have an email assigned")
            << QStringList {QStringLiteral("no address |Bob|")};
        QTest::newRow("title on two lines, arrow in the title")
            << record(1, "Info", " Board  ->\n\tmeeting  ->bob@example.net") + record(1, "Info", "terminated")
            << QStringList {QStringLiteral("sent Board  ->\nmeeting|bob@example.net|")};
        QTest::newRow("two runs at once pair by process")
            << record(1, "Info", " A  ->a@example.org") + record(2, "Info", " B  ->b@example.org")
                + record(1, "Error", "Failed to hand over the reminder to 'a@example.org': down")
                + record(2, "Info", "terminated")
            << QStringList {QStringLiteral("failed A|a@example.org|down"), QStringLiteral("sent B|b@example.org|")};
        QTest::newRow("the run is still handing over")
            << record(1, "Info", " A  ->a@example.org") << QStringList {QStringLiteral("sending A|a@example.org|")};
        QTest::newRow("other lines and a torn last record")
            << QByteArray("garbage\n\tcontinued garbage\n") + record(1, "Info", "started -v.5")
                + record(1, "Info", " A  ->a@example.org") + record(1, "Info", "terminated")
                + QByteArray("Dec  6 10:00:01 host RuvelantAgent[3] <Info>:  B  ->b@exa")
            << QStringList {QStringLiteral("sent A|a@example.org|")};
    }
    void fromRecords()
    {
        QFETCH(QByteArray, log);
        QFETCH(QStringList, expected);
        QCOMPARE(described(SentReminders::fromRecords(QString::fromUtf8(log), today)), expected);
    }

    // Both files, newest first; a record of a month after today belongs to last year.
    void bothFilesNewestFirst()
    {
        ThrowAwayHome home;
        home.writeFile(QStringLiteral("Logs/RuvelantAgent_previous.log"),
                       record(1, "Info", " Old  ->a@example.org", "Dec 24 09:00:00") + record(1, "Info", "terminated"));
        home.writeFile(QStringLiteral("Logs/RuvelantAgent.log"),
                       record(2, "Info", " New  ->b@example.org", "Dec  6 09:00:00") + record(2, "Info", "terminated"));
        const QList<SentReminder> reminders
            = SentReminders::read(home.filePath(QStringLiteral("Logs")), QStringLiteral("RuvelantAgent"), today);
        QCOMPARE(described(reminders),
                 (QStringList {QStringLiteral("sent New|b@example.org|"), QStringLiteral("sent Old|a@example.org|")}));
        QCOMPARE(reminders.last().time, QDateTime(QDate(2025, 12, 24), QTime(9, 0)));
    }

    // While the agent writes and rotates its log, every reading gives each reminder once.
    void rotationWhileReading()
    {
        ThrowAwayHome home;
        const QString folder = home.filePath(QStringLiteral("Logs"));
        const QString current = folder + QStringLiteral("/RuvelantAgent.log");
        home.writeFile(QStringLiteral("Logs/RuvelantAgent.log"), QByteArray());
        std::atomic<bool> stop {false};
        std::thread writer([&] {
            for (int n = 0; !stop; ++n) {
                QFile file(current);
                if (file.open(QIODevice::Append)) {
                    file.write(record(n, "Info", " E  ->" + QByteArray::number(n) + "@example.org")
                               + record(n, "Info", "terminated"));
                }
                file.close();
                if (n % 7 == 6) {
                    ::rename(QFile::encodeName(current).constData(),
                             QFile::encodeName(folder + QStringLiteral("/RuvelantAgent_previous.log")).constData());
                }
            }
        });
        int largest = 0;
        for (int i = 0; i < 300; ++i) {
            const QStringList lines = described(SentReminders::read(folder, QStringLiteral("RuvelantAgent"), today));
            QCOMPARE(QSet<QString>(lines.cbegin(), lines.cend()).size(), lines.size());
            largest = qMax(largest, int(lines.size()));
        }
        stop = true;
        writer.join();
        QVERIFY(largest > 0);
    }
};

QTEST_GUILESS_MAIN(SentRemindersTest)
#include "tst_sentreminders.moc"
