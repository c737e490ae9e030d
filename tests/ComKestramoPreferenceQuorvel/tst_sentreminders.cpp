// The reminders that the pane lists as sent, read from the agent's log.
#include "bundle.h"
#include "datatable.h"
#include "sentreminders.h"
#include "throwawayhome.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>

#include <atomic>
#include <thread>

namespace {
const QDate today(2026, 12, 7);

// "outcome event|address|detail" per reminder, and "|calendar/event/start" when the log names its
// occurrence.
QStringList described(const QList<SentReminder> &reminders)
{
    static const char *const outcomes[] = {"sent", "failed", "no address", "sending"};
    QStringList lines;
    for (const SentReminder &reminder : reminders) {
        const SendJournal::Occurrence &occurrence = reminder.occurrence;
        lines.append(
            QStringLiteral("%1 %2|%3|%4")
                .arg(QLatin1String(outcomes[reminder.outcome]), reminder.event, reminder.address, reminder.detail)
            + (occurrence.calendar.isEmpty()
                   ? QString()
                   : QStringLiteral("|%1/%2/%3")
                         .arg(occurrence.calendar, occurrence.event, occurrence.start.toString(Qt::ISODate))));
    }
    return lines;
}

QByteArray record(int pid, const QByteArray &text)
{
    return "Dec  6 10:00:00 host RuvelantAgent[" + QByteArray::number(pid) + "] <Info>: " + text + '\n';
}
} // namespace

class SentRemindersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Each .log file of tests/data/sentreminders is a log, after lines "=> reminder" that give the
    // reminders read from it (as described() writes them, with \n for a line break in a title).
    void fromRecords_data()
    {
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QStringList>("expected");
        const QDir folder(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/sentreminders"));
        for (const QString &name : folder.entryList({QStringLiteral("*.log")})) {
            QByteArray log = readFile(folder.filePath(name));
            QStringList expected;
            for (int end; log.startsWith("=> ") && (end = log.indexOf('\n')) > 0; log.remove(0, end + 1))
                expected.append(
                    QString::fromUtf8(log.mid(3, end - 3)).replace(QStringLiteral("\\n"), QStringLiteral("\n")));
            QTest::newRow(qPrintable(name.chopped(4))) << log << expected;
        }
    }
    void fromRecords()
    {
        QFETCH(QByteArray, log);
        QFETCH(QStringList, expected);
        QCOMPARE(described(SentReminders::fromRecords(QString::fromUtf8(log), today)), expected);
    }

    // The reasons of the log in the pane's plain words, and which of them a later run retries.
    void reasons_data()
    {
        dataTable<QString, bool, QString>("sentreminders/reasons.txt", {"detail", "temporary", "words"});
    }
    void reasons()
    {
        QFETCH(QString, detail);
        QFETCH(bool, temporary);
        QFETCH(QString, words);
        ThrowAwayHome home;
        const HandOverFailure failure = HandOverFailure::fromDetail(detail, QStringLiteral("bob@example.org"));
        QCOMPARE(failure.isTemporary(), temporary);
        QCOMPARE(failure.plainWords(Bundle(buildPath(QStringLiteral("Ruvelant.prefPane")))), words);
    }

    // Both files, newest first; a record of a month after today belongs to last year.
    void bothFilesNewestFirst()
    {
        const QList<SentReminder> reminders
            = SentReminders::read(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/sentreminders/rotated"),
                                  QStringLiteral("RuvelantAgent"), today);
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
        std::atomic<int> written {0};
        std::thread writer([&] {
            for (int n = 0; !stop; ++n) {
                QFile file(current);
                if (file.open(QIODevice::Append)) {
                    file.write(record(n, " E  ->" + QByteArray::number(n) + "@example.org") + record(n, "terminated"));
                }
                file.close();
                ++written;
                if (n % 7 == 6) {
                    ::rename(QFile::encodeName(current).constData(),
                             QFile::encodeName(folder + QStringLiteral("/RuvelantAgent_previous.log")).constData());
                }
            }
        });
        while (written == 0) // so that the readings meet the writes
            std::this_thread::yield();
        int largest = 0;
        QStringList twice; // a reading that gave a reminder twice
        for (int i = 0; i < 300 && twice.isEmpty(); ++i) {
            const QStringList lines = described(SentReminders::read(folder, QStringLiteral("RuvelantAgent"), today));
            if (QSet<QString>(lines.cbegin(), lines.cend()).size() != lines.size())
                twice = lines;
            largest = qMax(largest, int(lines.size()));
        }
        stop = true;
        writer.join();
        QCOMPARE(twice, QStringList());
        QVERIFY(largest > 0);
    }
};

QTEST_GUILESS_MAIN(SentRemindersTest)
#include "tst_sentreminders.moc"
