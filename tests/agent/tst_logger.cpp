#include "ComKestramoLogger.h"
#include "bundle.h"
#include "logservice.h"
#include "throwawayhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <unistd.h>

namespace {
QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
}

// Standard error of this process, captured into a file while it lives.
class StandardErrorCapture
{
public:
    StandardErrorCapture()
    {
        m_file.open();
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    QByteArray finish()
    {
        dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        return readAll(m_file.fileName());
    }

private:
    QTemporaryFile m_file;
    int m_saved = -1;
};

const QRegularExpression
    recordPattern(QStringLiteral("^(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ( [1-9]|[12]\\d|3[01]) "
                                 "\\d\\d:\\d\\d:\\d\\d (\\S+) (\\S+)\\[(\\d+)\\] <(\\w+)>: (.*)$"));
} // namespace

class TestLogger : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<ThrowAwayHome>(); // a fresh Linux home: no ~/Library yet
        m_home->writeFile(QStringLiteral("RuvelantAgent.app/Contents/Info.plist"),
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                          "<key>CFBundleExecutable</key><string>RuvelantAgent</string></dict></plist>\n");
        m_bundle = std::make_unique<Bundle>(m_home->path() + QStringLiteral("/RuvelantAgent.app"));
        Bundle::setMainBundle(m_bundle.get());
    }
    void cleanup()
    {
        ComKestramoLogger::closeLogIfOpened();
        Bundle::setMainBundle(nullptr);
        m_bundle.reset();
        m_home.reset();
    }

    void firstMessageCreatesFolderAndFile()
    {
        const QString logs = m_home->path() + QStringLiteral("/Library/Logs");
        QCOMPARE(ComKestramoLogger::logFileName(), logs + QStringLiteral("/RuvelantAgent.log"));
        QCOMPARE(ComKestramoLogger::logFileNameBak(), logs + QStringLiteral("/RuvelantAgent_previous.log"));
        ComKestramoLogger::logINFO(QStringLiteral("started -v.5"));
        QCOMPARE(QFile::permissions(logs) & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
                     | QFile::ExeUser);
        QCOMPARE(QFile::permissions(ComKestramoLogger::logFileName()) & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QVERIFY(readAll(ComKestramoLogger::logFileName()).endsWith(">: started -v.5\n"));
    }

    void recordFields_data()
    {
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("level");
        QTest::newRow("logINFO") << false << QStringLiteral("Info");
        QTest::newRow("logERR") << true << QStringLiteral("Error");
    }
    void recordFields()
    {
        QFETCH(bool, error);
        QFETCH(QString, level);
        StandardErrorCapture capture;
        error ? ComKestramoLogger::logERR(QStringLiteral("a message"))
              : ComKestramoLogger::logINFO(QStringLiteral("a message"));
        const QByteArray console = capture.finish();
        const QByteArray file = readAll(ComKestramoLogger::logFileName());
        QVERIFY2(console.endsWith(file) && file.count('\n') == 1, console.constData()); // the same record on stderr
        const QRegularExpressionMatch m = recordPattern.match(QString::fromUtf8(file.chopped(1)));
        QVERIFY2(m.hasMatch(), file.constData());
        QCOMPARE(m.captured(3), QSysInfo::machineHostName());
        QCOMPARE(m.captured(4), QStringLiteral("RuvelantAgent"));
        QCOMPARE(m.captured(5).toLongLong(), QCoreApplication::applicationPid());
        QCOMPARE(m.captured(6), level);
        QCOMPARE(m.captured(7), QStringLiteral("a message"));
    }

    void formatRecord_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("info, day padded")
            << 6 << QStringLiteral("started -v.5")
            << QByteArray("Mar  5 14:05:00 myhost RuvelantAgent[4242] <Info>: started -v.5\n");
        QTest::newRow("line breaks continue on tab-indented lines")
            << 3 << QStringLiteral("secondsDaysBefore=1\ndayToBeAlerted=x\r\nend")
            << QByteArray("Mar  5 14:05:00 myhost RuvelantAgent[4242] <Error>: "
                          "secondsDaysBefore=1\n\tdayToBeAlerted=x\n\tend\n");
        QTest::newRow("control characters shown, tab and UTF-8 kept")
            << 4 << QStringLiteral("a\x01\tb\x7f é")
            << QByteArray("Mar  5 14:05:00 myhost RuvelantAgent[4242] <Warning>: a^A\tb^? \xc3\xa9\n");
        QTest::newRow("debug") << 7 << QString()
                               << QByteArray("Mar  5 14:05:00 myhost RuvelantAgent[4242] <Debug>: \n");
    }
    void formatRecord()
    {
        QFETCH(int, level);
        QFETCH(QString, text);
        QFETCH(QByteArray, expected);
        const QDateTime time(QDate(2010, 3, 5), QTime(14, 5));
        QCOMPARE(LogService::formatRecord(time, QStringLiteral("myhost"), QStringLiteral("RuvelantAgent"), 4242, level,
                                          text),
                 expected);
    }

    void formatCharactersStayAsTheyAre()
    {
        const QString message = QStringLiteral("%s %@ %d %n 100% %%");
        ComKestramoLogger::logERR(message);
        QVERIFY(readAll(ComKestramoLogger::logFileName()).endsWith("<Error>: " + message.toUtf8() + '\n'));
    }

    void rotation_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("previousExists");
        QTest::addColumn<bool>("rotates");
        QTest::newRow("256000 bytes stays") << 256000 << false << false;
        QTest::newRow("256001 bytes rotates") << 256001 << false << true;
        QTest::newRow("older previous log is replaced") << 256001 << true << true;
        QTest::newRow("small log with previous stays") << 10 << true << false;
    }
    void rotation()
    {
        QFETCH(int, size);
        QFETCH(bool, previousExists);
        QFETCH(bool, rotates);
        const QByteArray old(size, 'x');
        m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent.log"), old);
        if (previousExists) {
            m_home->writeFile(QStringLiteral("Library/Logs/RuvelantAgent_previous.log"), "older\n");
        }
        ComKestramoLogger::logINFO(QStringLiteral("first"));
        ComKestramoLogger::logINFO(QStringLiteral("second"));
        const QByteArray log = readAll(ComKestramoLogger::logFileName());
        const QByteArray previous = readAll(ComKestramoLogger::logFileNameBak());
        if (rotates) {
            QCOMPARE(previous, old);
            const QList<QByteArray> lines = log.split('\n');
            QCOMPARE(lines.size(), 3); // the rotation happens once, at the first message
            QVERIFY(lines.at(0).endsWith("<Info>: first"));
        } else {
            QVERIFY(log.startsWith(old));
            QCOMPARE(log.count('\n'), 2);
            QCOMPARE(previous, previousExists ? QByteArray("older\n") : QByteArray());
        }
    }

    void oneDescriptorForManyMessages()
    {
        const int before = openDescriptors();
        ComKestramoLogger::logINFO(QStringLiteral("message 1"));
        const int afterFirst = openDescriptors();
        QCOMPARE(afterFirst, before + 1);
        for (int i = 2; i <= 100; ++i) {
            ComKestramoLogger::logINFO(QStringLiteral("message %1").arg(i));
        }
        QCOMPARE(openDescriptors(), afterFirst);
        QCOMPARE(readAll(ComKestramoLogger::logFileName()).count('\n'), 100);
        ComKestramoLogger::closeLogIfOpened();
        QCOMPARE(openDescriptors(), before);
    }

    void closeWithoutMessageAndTwice()
    {
        ComKestramoLogger::closeLogIfOpened();
        ComKestramoLogger::closeLogIfOpened();
        QVERIFY(!QFile::exists(ComKestramoLogger::logsPath()));
        ComKestramoLogger::logINFO(QStringLiteral("after"));
        ComKestramoLogger::closeLogIfOpened();
        ComKestramoLogger::closeLogIfOpened();
        ComKestramoLogger::logINFO(QStringLiteral("reopened"));
        QCOMPARE(readAll(ComKestramoLogger::logFileName()).count('\n'), 2);
    }

    void applicationName_data()
    {
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QString>("expected");
        QTest::newRow("bundle name first") << QByteArray("<key>CFBundleExecutable</key><string>Exec</string>"
                                                         "<key>CFBundleName</key><string>Named</string>")
                                           << QStringLiteral("Named");
        QTest::newRow("executable next") << QByteArray("<key>CFBundleExecutable</key><string>Exec</string>")
                                         << QStringLiteral("Exec");
        QTest::newRow("no bundle information") << QByteArray() << QStringLiteral("UNKNOWN_APPLICATION");
    }
    void applicationName()
    {
        QFETCH(QByteArray, info);
        QFETCH(QString, expected);
        if (!info.isNull()) {
            m_home->writeFile(QStringLiteral("B.app/Contents/Info.plist"),
                              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + info + "</dict></plist>");
        } else {
            QDir(m_home->path()).mkdir(QStringLiteral("B.app"));
        }
        Bundle bundle(m_home->filePath(QStringLiteral("B.app")));
        Bundle::setMainBundle(&bundle);
        ComKestramoLogger::logINFO(QStringLiteral("hello"));
        ComKestramoLogger::closeLogIfOpened();
        Bundle::setMainBundle(nullptr);
        QVERIFY(readAll(m_home->filePath(QStringLiteral("Library/Logs/%1.log").arg(expected)))
                    .contains(" " + expected.toUtf8() + "["));
    }

    void executablePathOfABareProgram()
    {
        Bundle::setMainBundle(nullptr);
        QCOMPARE(ComKestramoLogger::applicationName(), QStringLiteral("tst_logger"));
    }

    void unwritableLogsGoOnToStandardError()
    {
        m_home->writeFile(QStringLiteral("Library"), "a file in the way of the logs folder");
        StandardErrorCapture capture;
        ComKestramoLogger::logERR(QStringLiteral("still here"));
        const QByteArray console = capture.finish();
        QVERIFY(!QFile::exists(ComKestramoLogger::logsPath()));
        QVERIFY2(console.contains("Failed to create " + QFile::encodeName(ComKestramoLogger::logsPath())
                                  + " folder due to error:20\n"),
                 console.constData());
        QVERIFY2(console.contains(" RuvelantAgent[") && console.endsWith("<Error>: still here\n"), console.constData());
    }

private:
    std::unique_ptr<ThrowAwayHome> m_home;
    std::unique_ptr<Bundle> m_bundle;
};

QTEST_GUILESS_MAIN(TestLogger)
#include "tst_logger.moc"
