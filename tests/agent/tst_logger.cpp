#include "ComKestramoLogger.h"
#include "bundle.h"
#include "logservice.h"
#include "standarderrorcapture.h"
#include "throwawayhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>

#include <memory>
#include <sys/stat.h>

namespace {
int mode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}
} // namespace

class TestLogger : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>(); // a fresh Linux home: no ~/Library yet
        m_bundle = std::make_unique<Bundle>(QFINDTESTDATA("../data/logger/RuvelantAgent.app"));
        Bundle::setMainBundle(m_bundle.get());
        m_log = m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent.log"));
    }
    void cleanup()
    {
        ComKestramoLogger::closeLogIfOpened();
        Bundle::setMainBundle(nullptr);
        m_home.reset();
    }

    // The first message makes the folders and the file, and writes one record to both the file
    // and standard error; a line break continues the record on a tab-indented line, another
    // control character is shown as ^X, and format characters stay as they are.
    void firstRecord()
    {
        const QString message = QStringLiteral("started %s %@ %d %n 100% %%\nnext=1\r\nend\x01\x7f é\t.");
        StandardErrorCapture capture;
        ComKestramoLogger::logINFO(message);
        const QByteArray console = capture.release().toUtf8();
        QCOMPARE(mode(m_home->filePath(QStringLiteral("Library"))), 0700);
        QCOMPARE(mode(m_home->filePath(QStringLiteral("Library/Logs"))), 0700);
        QCOMPARE(mode(m_log), 0600);
        const QByteArray file = readFile(m_log);
        QVERIFY2(console.endsWith(file) && file.count('\n') == 3, console.constData());
        const QString record = QString::fromUtf8(file);
        const QRegularExpression stamp(QStringLiteral("^[A-Z][a-z][a-z] [ 1-3]\\d \\d\\d:\\d\\d:\\d\\d $"));
        QVERIFY2(stamp.match(record.left(16)).hasMatch(), file.constData());
        QCOMPARE(record.mid(16),
                 QStringLiteral("%1 RuvelantAgent[%2] <Info>: started %s %@ %d %n 100% %%\n\tnext=1\n\tend^A^? é\t.\n")
                     .arg(QSysInfo::machineHostName(), QString::number(QCoreApplication::applicationPid())));
    }

    void dayIsPadded()
    {
        QCOMPARE(LogService::formatRecord(QDateTime(QDate(2010, 3, 5), QTime(14, 5)), QStringLiteral("h"),
                                          QStringLiteral("S"), 1, LogService::Warning, QString()),
                 QByteArray("Mar  5 14:05:00 h S[1] <Warning>: \n"));
    }

    // An older previous log is there; the log moves over it only when past 256000 bytes, also
    // when its size does not fit in 32 bits (a sparse file: its zeros take no room on disk).
    void rotation_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("256000 bytes stay") << qint64(256000);
        QTest::newRow("256001 bytes rotate") << qint64(256001);
        QTest::newRow("2 GiB and a byte rotate") << (qint64(1) << 31) + 1;
        QTest::newRow("4 GiB and a byte rotate") << (qint64(1) << 32) + 1;
    }
    void rotation()
    {
        QFETCH(qint64, size);
        m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent.log"), "");
        QVERIFY(QFile::resize(m_log, size));
        m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent_previous.log"), "older\n");
        ComKestramoLogger::logINFO(QStringLiteral("first"));
        ComKestramoLogger::logINFO(QStringLiteral("second"));
        const bool rotated = size > 256000;
        const QString previous = m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent_previous.log"));
        QCOMPARE(QFileInfo(previous).size(), rotated ? size : 6);
        // Both records follow, after the old log when it stays: a rotation happens once, at the first.
        QFile log(m_log);
        QVERIFY(log.open(QIODevice::ReadOnly) && log.seek(rotated ? 0 : size));
        const QByteArray records = log.readAll();
        QVERIFY2(records.count('\n') == 2 && records.contains("<Info>: first\n") && !records.startsWith('\0'),
                 records.constData());
    }

    // However much one run has to say, the log it leaves is not rotated by the next run alone,
    // so the previous log keeps the runs before it; a message of 1 MB is cut.
    void oneRunCannotRotateTheOthersAway()
    {
        const QString previous = m_home->filePath(QStringLiteral("Library/Logs/RuvelantAgent_previous.log"));
        m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent_previous.log"), "earlier runs\n");
        ComKestramoLogger::logERR(QString(1 << 20, QLatin1Char('a')));
        for (int i = 0; i < 300; ++i) {
            ComKestramoLogger::logINFO(QString(1000, QLatin1Char('b')));
        }
        ComKestramoLogger::closeLogIfOpened();
        const QByteArray log = readFile(m_log);
        QVERIFY2(log.size() <= 256000 && log.contains("aaaa… [cut here: 1048576 bytes in all]\n"),
                 QByteArray::number(log.size()).constData());
        ComKestramoLogger::logINFO(QStringLiteral("the next run"));
        QCOMPARE(readFile(previous), QByteArray("earlier runs\n"));
    }

    // One descriptor however many messages; closing before any message, or twice, does no harm, and
    // the next message opens the log again, named after the application then running.
    void oneDescriptorAndHarmlessCloses()
    {
        ComKestramoLogger::closeLogIfOpened();
        QVERIFY(!QFile::exists(m_home->filePath(QStringLiteral("Library/Logs"))));
        const int before = openDescriptors();
        for (int i = 1; i <= 100; ++i) {
            ComKestramoLogger::logINFO(QStringLiteral("message %1").arg(i));
        }
        QCOMPARE(openDescriptors(), before + 1);
        ComKestramoLogger::closeLogIfOpened();
        ComKestramoLogger::closeLogIfOpened();
        QCOMPARE(openDescriptors(), before);
        m_bundle = std::make_unique<Bundle>(m_home->path()); // a folder without bundle information
        Bundle::setMainBundle(m_bundle.get());
        ComKestramoLogger::logINFO(QStringLiteral("reopened"));
        QCOMPARE(readFile(m_log).count('\n'), 100);
        QVERIFY(readFile(m_home->filePath(QStringLiteral("Library/Logs/UNKNOWN_APPLICATION.log")))
                    .contains(" UNKNOWN_APPLICATION["));
    }

    void unwritableLogsGoOnToStandardError()
    {
        m_home->writeFile(QStringLiteral("Library"), "a file in the way of the logs folder");
        StandardErrorCapture capture;
        ComKestramoLogger::logERR(QStringLiteral("still here"));
        const QByteArray console = capture.release().toUtf8();
        const QByteArray logs = QFile::encodeName(m_home->filePath(QStringLiteral("Library/Logs")));
        QVERIFY2(console.contains("Failed to create " + logs + " folder due to error:20\n")
                     && console.contains(" RuvelantAgent[") && console.endsWith("<Error>: still here\n"),
                 console.constData());
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_bundle;
    QString m_log;
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
