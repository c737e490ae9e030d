// The send journal reads back what was recorded, whatever a crash left at its end, keeps a
// hand-over until its occurrence is past, and then only what it still needs.
#include "datatable.h"
#include "sendjournal.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

class SendJournalTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void recordsSurviveCrashesAndAge()
    {
        ThrowAwayHome home;
        const QDateTime now(QDate(2010, 3, 1), QTime(14, 5), Qt::UTC);
        const SendJournal::Occurrence standup {QStringLiteral("work cal"), QStringLiteral("uid:1"),
                                               QDateTime(QDate(2010, 3, 5), QTime(9, 0), Qt::UTC)};
        const SendJournal::Occurrence later {QStringLiteral("work cal"), QStringLiteral("uid:1"),
                                             standup.start.addDays(7)};
        const QString ann = QStringLiteral("ann lee@example.org"), bob = QStringLiteral("bob@example.org");
        QString error;
        {
            SendJournal journal;
            QVERIFY2(journal.open(now, &error), qPrintable(error));
            QVERIFY(journal.record(standup, ann, &error));
            QVERIFY(journal.handedOver(standup, QStringLiteral("ANN Lee@Example.org"))); // at once, in any case
            QVERIFY(journal.record(standup, bob, &error) && journal.record(later, bob, &error));
            QVERIFY(journal.refuse(QStringLiteral("/c/crowd.ics"), "f1", &error));
        }
        const QString path = home.filePath(QStringLiteral(".local/state/ruvelant/sent.journal"));
        QCOMPARE(QFile(path).permissions() & 0x0077, QFileDevice::Permissions()); // the owner's only
        // What a crash may leave: a damaged line, and a last line cut short.
        QByteArray content = readFile(path);
        const int bobLine = content.lastIndexOf('\n', content.indexOf("bob%40")) + 1;
        content.insert(bobLine,
                       content.mid(bobLine, content.indexOf('\n', bobLine) - bobLine + 1).replace("bob", "eve"));
        content += content.left(40);
        home.writeFile(QStringLiteral(".local/state/ruvelant/sent.journal"), content);

        SendJournal reopened;
        QVERIFY(reopened.open(now.addDays(1), &error));
        QVERIFY(reopened.handedOver(standup, ann) && reopened.handedOver(standup, bob));
        QVERIFY(!reopened.handedOver(standup, QStringLiteral("eve@example.org")));
        QVERIFY(reopened.isRefused(QStringLiteral("/c/crowd.ics"), "f1"));
        QVERIFY(!reopened.isRefused(QStringLiteral("/c/crowd.ics"), "f2")); // the file changed since
        QVERIFY(readFile(path).endsWith('\n'));

        // A hand-over stays while its occurrence is to come, whether or not it was marked since;
        // then the file keeps only the records still needed.
        SendJournal past(path);
        QVERIFY(past.open(now.addDays(SendJournal::staleAfterDays + 1), &error));
        QVERIFY(!past.handedOver(standup, ann));
        QVERIFY(past.handedOver(later, bob));
        QVERIFY(!past.isRefused(QStringLiteral("/c/crowd.ics"), "f1"));
        QCOMPARE(readFile(path).count('\n'), 1);
        SendJournal begun(path);
        QVERIFY(begun.open(later.start.addDays(SendJournal::keptAfterStartDays), &error));
        QVERIFY(!begun.handedOver(later, bob));
        QCOMPARE(readFile(path), QByteArray());
    }

    // A hand-over is kept until two days after its occurrence began, and 8 days at least: with a
    // lead longer than 8 days, a run after the start (a day searched whole, in any zone) still
    // finds it.
    void retention_data()
    {
        QTest::addColumn<int>("lead"); // hours from the hand-over to the occurrence's start
        QTest::addColumn<int>("opened"); // hours from the occurrence's start to the next opening
        QTest::addColumn<bool>("kept");
        row("lead of 10 days, opened a day before the start", 240, -24, true);
        row("lead of 10 days, opened an hour after the start", 240, 1, true);
        row("lead of 10 days, opened 47 hours after the start", 240, 47, true);
        row("lead of 10 days, opened two days after the start", 240, 48, false);
        row("lead of 1 day, opened 7 days after the hand-over", 24, 6 * 24, true);
        row("lead of 1 day, opened 8 days after the hand-over", 24, 7 * 24, false);
    }
    void retention()
    {
        QFETCH(int, lead);
        QFETCH(int, opened);
        QFETCH(bool, kept);
        ThrowAwayHome home;
        const SendJournal::Occurrence occurrence {QStringLiteral("home"), QStringLiteral("uid:1"),
                                                  QDateTime(QDate(2010, 3, 15), QTime(9, 0), Qt::UTC)};
        QString error;
        {
            SendJournal journal;
            QVERIFY2(journal.open(occurrence.start.addSecs(-3600 * lead), &error), qPrintable(error));
            QVERIFY(journal.record(occurrence, QStringLiteral("ann@example.org"), &error));
        }
        SendJournal reopened;
        QVERIFY(reopened.open(occurrence.start.addSecs(3600 * opened), &error));
        QCOMPARE(reopened.handedOver(occurrence, QStringLiteral("ann@example.org")), kept);
    }

    // What the marked versions make of a hand-over, in the journal that recorded them and in the
    // file read back (compacted): a journal without versions, or a version read before marking
    // again (a sync tool put it back), keeps the hand-over; another unmarked version is an edit
    // that removed the marker. "Send Again" forgets the hand-overs and asks until marked again.
    void markedVersions_data()
    {
        QTest::addColumn<QString>("records"); // "sent", "marked V", "forget", "again", in turn, comma-separated
        QTest::addColumn<QByteArray>("read"); // the version of the occurrence read now
        QTest::addColumn<bool>("handedOver");
        QTest::addColumn<bool>("removed");
        QTest::addColumn<bool>("requested");
        row("a journal without versions", "sent", QByteArray("v1"), true, false, false);
        row("the version read before marking again", "sent,marked v0", QByteArray("v0"), true, false, false);
        row("another version", "sent,marked v0", QByteArray("v1"), false, true, false);
        row("a store without versions", "sent,marked v0", QByteArray(), true, false, false);
        row("each version marked counts", "sent,marked v0,marked v1", QByteArray("v1"), true, false, false);
        row("forgotten", "sent,marked v0,forget", QByteArray("v1"), false, false, false);
        row("asked again", "sent,marked v0,again", QByteArray("v0"), false, false, true);
        row("asked again, a retry", "sent,again,sent", QByteArray("v0"), true, false, true);
        row("asked again, marked since", "again,sent,marked v2", QByteArray("v1"), false, true, false);
    }
    void markedVersions()
    {
        QFETCH(QString, records);
        QFETCH(QByteArray, read);
        QFETCH(bool, handedOver);
        QFETCH(bool, removed);
        QFETCH(bool, requested);
        ThrowAwayHome home;
        const QDateTime now(QDate(2010, 3, 1), QTime(14, 5), Qt::UTC);
        const SendJournal::Occurrence board {QStringLiteral("work"), QStringLiteral("board@1"),
                                             QDateTime(QDate(2010, 3, 5), QTime(9, 0), Qt::UTC)};
        const SendJournal::Occurrence other {board.calendar, board.event, board.start.addDays(7)};
        const QString ann = QStringLiteral("ann@example.org");
        QString error;
        SendJournal journal;
        QVERIFY(journal.open(now, &error));
        // Recorded twice: the next opening compacts the journal, which the one after reads.
        QVERIFY(journal.record(other, ann, &error) && journal.recordMarked(other, "v9", &error)
                && journal.recordMarked(other, "v9", &error));
        for (const QString &record : records.split(QLatin1Char(','))) {
            const QByteArray version = record.section(QLatin1Char(' '), 1).toLatin1();
            QVERIFY(record == "sent"_qs         ? journal.record(board, ann, &error)
                        : record == "forget"_qs ? journal.forget(board, &error)
                        : record == "again"_qs  ? journal.requestAgain(board, &error)
                                                : journal.recordMarked(board, version, &error));
        }
        SendJournal reopened, compacted;
        QVERIFY(reopened.open(now.addSecs(60), &error) && compacted.open(now.addSecs(60), &error));
        for (const SendJournal *seen : {&journal, &reopened, &compacted}) {
            QCOMPARE(seen->handedOver(board, ann, read), handedOver);
            QCOMPARE(seen->isMarkerRemoved(board, read), removed);
            QCOMPARE(seen->requested().size(), requested ? 1 : 0);
            QVERIFY(seen->handedOver(other, ann, "v9")); // another occurrence of the same event is its own
        }
    }
};

QTEST_GUILESS_MAIN(SendJournalTest)
#include "tst_sendjournal.moc"
