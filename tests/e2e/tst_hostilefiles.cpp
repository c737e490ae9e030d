// Files that other people and programs put in the user's folders, and the user's own locale:
// whatever they hold, a run of the agent goes on, exits 0, sends what it should and nothing
// else, leaves the files as they were (but for its marker), writes no record longer than a few
// kilobytes, and the next run does not send or complain again.
#include "agentruns.h"
#include "datatable.h"
#include "logservice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

namespace {
// A file of tests/data/hostile, with @DAY@ replaced by the searched day and each "@N*text*@" by N
// copies of text, "@I@" in each by its number.
QByteArray hostileFile(const QString &name)
{
    QByteArray text = readFile(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/hostile/") + name);
    text.replace("@DAY@", searchedDay().toString(QStringLiteral("yyyyMMdd")).toLatin1());
    for (int star; (star = text.indexOf('*')) >= 0;) {
        const int at = text.lastIndexOf('@', star), end = text.indexOf("*@", star + 1);
        const int count = text.mid(at + 1, star - at - 1).toInt();
        const QByteArray part = text.mid(star + 1, end - star - 1);
        QByteArray copies;
        for (int i = 0; i < count; ++i)
            copies += QByteArray(part).replace("@I@", QByteArray::number(i));
        text.replace(at, end + 2 - at, copies);
    }
    return text;
}
} // namespace

class HostileFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void agentHoldsOut_data()
    {
        dataTable<QString, QString, QString, QStringList>("hostile/rows.txt",
                                                          {"hostile", "file", "named", "recipients"});
    }
    void agentHoldsOut()
    {
        QFETCH(QString, hostile);
        QFETCH(QString, file);
        QFETCH(QString, named);
        QFETCH(QStringList, recipients);
        ThrowAwayHome home("Europe/Paris", hostile == QLatin1String("arabic") ? "ar_EG.UTF-8" : "en_US.UTF-8");
        writeAgentHome(home);
        SmtpSink sink(home);
        QVERIFY(sink.start());

        const QString path = home.filePath(file);
        const QString precious = home.filePath(QStringLiteral("precious.txt")); // what a link points to
        if (hostile == QLatin1String("link")) {
            home.writeFile(QStringLiteral("precious.txt"), "another file of the user\n");
            QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()) && QFile::link(precious, path));
        } else if (hostile == QLatin1String("loop")) {
            QVERIFY(QFile::link(QFileInfo(path).fileName(), path)); // a link to itself
        } else if (hostile.startsWith(QLatin1String("fifo"))) {
            const QString fifo
                = hostile == QLatin1String("fifo-link") ? home.filePath(QStringLiteral("elsewhere")) : path;
            QFile::remove(fifo);
            QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
            QVERIFY(fifo == path || QFile::link(fifo, path));
        } else if (hostile.contains(QLatin1Char('.'))) {
            home.writeFile(file, hostileFile(hostile));
        }
        // What the row put in place, as it is before the runs (a FIFO is never opened here, and a
        // link's target is looked at); unreadable preferences stay as they are, byte for byte;
        // the marker is the one change a run makes to an event file.
        const auto state = [&] {
            if (hostile.startsWith(QLatin1String("fifo")))
                return QByteArray::number(QFileInfo(path).isFile());
            if (hostile == QLatin1String("link"))
                return readFile(precious);
            if (hostile == QLatin1String("loop"))
                return QFile::symLinkTarget(path).toUtf8();
            return readFile(path).replace(" (*)", "");
        };
        const bool once = named.startsWith(QLatin1String("once: "));
        named.remove(QRegularExpression(QStringLiteral("^once: ")));
        const bool address = named.startsWith(QLatin1String("address: "));
        named.remove(QRegularExpression(QStringLiteral("^address: ")));
        const QByteArray before = state();

        QString errors;
        QCOMPARE(runToEnd(&errors), 0);
        QStringList sent;
        for (const auto &message : sink.messages())
            sent.append(QString::fromUtf8(message->to()->addresses().first()));
        sent.sort();
        QCOMPARE(sent, recipients);
        QCOMPARE(state(), before);
        const QStringList records = agentLog(home, "helper_agentrun");
        if (!named.isEmpty()) {
            // An event file that is skipped, or refused, is named in the agent's own log; the
            // other files on standard error.
            const QString all
                = records.join(QLatin1Char('\n')) + (file.endsWith(QLatin1String(".ics")) ? QString() : errors);
            QVERIFY2(all.contains(named) && (file.isEmpty() || address || all.contains(path)), qPrintable(errors));
        }
        // Every record starts with its time stamp in ASCII digits; the verbose window too.
        const QRegularExpression stamp(QStringLiteral("^[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "));
        for (const QString &record : records) {
            QVERIFY2(stamp.match(record).hasMatch(), qPrintable(record));
            QVERIFY(record.toUtf8().size() < LogService::maxMessageSize + 200);
        }
        if (!recipients.isEmpty())
            QVERIFY(!records.filter(QRegularExpression(QStringLiteral("startDate=\\d{4}-\\d\\d-\\d\\d 00:00:00 ")))
                         .isEmpty());

        // The next run sends nothing and does not complain of the same content again.
        QCOMPARE(runToEnd(&errors), 0);
        QCOMPARE(sink.messages().size(), recipients.size());
        QCOMPARE(state(), before);
        if (once)
            QVERIFY(!errors.contains(named)); // every record goes to standard error too
    }
};

QTEST_GUILESS_MAIN(HostileFilesTest)
#include "tst_hostilefiles.moc"
