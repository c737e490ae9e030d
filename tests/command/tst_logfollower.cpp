// Following the agent's log: whatever the file holds or becomes, each read is bounded and nothing
// of a log is lost, through growth, rotation and replacement by a file far larger than a log.
#include "datatable.h"
#include "logfollower.h"
#include "throwawayhome.h"

#include <QFile>
#include <QTest>

namespace {
// Content of size bytes that shows where each part of it came from.
QByteArray numbered(qint64 size)
{
    QByteArray text;
    text.reserve(int(size) + 16);
    for (int line = 0; text.size() < size; ++line)
        text += QByteArray::number(line) + '\n';
    text.truncate(int(size));
    return text;
}

// "text:T" is T; "lines:N" N bytes of numbered lines; "huge" a file of more bytes than any log,
// with holes in place of its content.
void writeContent(const QString &path, const QString &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    if (content == QLatin1String("huge")) {
        QVERIFY(file.resize(LogFollower::maxSize + 1));
    } else if (content.startsWith(QLatin1String("lines:"))) {
        file.write(numbered(content.mid(6).toLongLong()));
    } else {
        file.write(content.mid(5).toUtf8());
    }
}

void append(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    file.write(text);
}

// Reads until nothing more is waiting; each read must keep its bound.
QByteArray readAll(LogFollower &follower, QStringList *notices)
{
    QByteArray all;
    do {
        const QByteArray added = follower.readAdded();
        if (added.size() > LogFollower::readSize)
            return "a read of " + QByteArray::number(added.size()) + " bytes, past its bound";
        if (!follower.notice().isEmpty())
            notices->append(follower.notice());
        all += added;
    } while (follower.hasMore());
    return all;
}
} // namespace

class LogFollowerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void bounded_data()
    {
        QTest::addColumn<QString>("first"); // the file when following starts
        QTest::addColumn<QString>("change"); // "append:CONTENT", "replace:CONTENT" (the old one moved away)
        QTest::addColumn<QByteArray>("printedFirst");
        QTest::addColumn<QByteArray>("printedAfter");
        QTest::addColumn<int>("notices");
        const int read = LogFollower::readSize;
        const QString lines = QStringLiteral("lines:%1").arg(3 * read + 5);
        row("a log larger than one read comes whole, in bounded reads", lines, "append:text:"_qs,
            numbered(3 * read + 5), QByteArray(), 0);
        row("more than a read added at once comes whole", "text:first\n"_qs, "append:"_qs + lines,
            QByteArray("first\n"), numbered(3 * read + 5), 0);
        row("a file larger than any log is followed from its end", "huge"_qs, "append:text:added\n"_qs, QByteArray(),
            QByteArray("added\n"), 1);
        row("replaced by a file larger than any log: the old one's rest, then what is added to the new one",
            "text:old\n"_qs, "replace:huge"_qs, QByteArray("old\n"), QByteArray("rest\nnew\n"), 1);
        row("replaced by a log larger than one read: the old one's rest, then the whole new one", "text:old\n"_qs,
            "replace:"_qs + lines, QByteArray("old\n"), QByteArray("rest\n") + numbered(3 * read + 5) + "new\n", 0);
    }
    void bounded()
    {
        QFETCH(QString, first);
        QFETCH(QString, change);
        QFETCH(QByteArray, printedFirst);
        QFETCH(QByteArray, printedAfter);
        QFETCH(int, notices);
        ThrowAwayHome home;
        const QString log = home.filePath(QStringLiteral("RuvelantAgent.log"));
        writeContent(log, first);
        LogFollower follower(log);
        QStringList told;
        QCOMPARE(readAll(follower, &told), printedFirst);

        const QString content = change.section(QLatin1Char(':'), 1);
        if (change.startsWith(QLatin1String("replace:"))) {
            append(log, "rest\n");
            QVERIFY(QFile::rename(log, home.filePath(QStringLiteral("RuvelantAgent_previous.log"))));
            writeContent(log, content);
            // What the new file holds, and what is added to it, are told apart only by the
            // follower having seen it: a first read of the new file comes before the addition.
            QByteArray printed = readAll(follower, &told);
            append(log, "new\n");
            printed += readAll(follower, &told);
            QCOMPARE(printed, printedAfter);
        } else {
            if (content.startsWith(QLatin1String("lines:")))
                append(log, numbered(content.mid(6).toLongLong()));
            else
                append(log, content.mid(5).toUtf8());
            QCOMPARE(readAll(follower, &told), printedAfter);
        }
        QCOMPARE(told.size(), notices);
        QVERIFY(follower.error().isEmpty());
    }
};

QTEST_GUILESS_MAIN(LogFollowerTest)
#include "tst_logfollower.moc"
