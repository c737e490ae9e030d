// scripts/demo as a person runs it on a fresh machine: where the asked locale is not installed it
// takes one that is, says so, tells each step as it comes, and writes nothing on standard error.
#include "throwawayhome.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

class DemoTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void demo()
    {
        ThrowAwayHome home;
        home.setEnv("DEMO_LANG", "xx_XX.UTF-8"); // a locale that no machine has
        home.setEnv("BUILD_DIR", RUVELANT_BUILD_DIR);
        QProcess demo;
        demo.start(QStringLiteral(RUVELANT_SOURCE_DIR "/scripts/demo"), QStringList());
        QString errors;
        QCOMPARE(finish(demo, &errors, 300000), 0);
        QCOMPARE(errors, QString());
        const QStringList steps = QString::fromUtf8(demo.readAllStandardOutput())
                                      .split(QLatin1Char('\n'))
                                      .filter(QRegularExpression(QStringLiteral("^== ")));
        QVERIFY2(steps.size() >= 7 && steps.first().endsWith(QLatin1String("the demo uses C.UTF-8"))
                     && steps.at(2).startsWith(QLatin1String("== Building"))
                     && steps.at(5).startsWith(QLatin1String("== First run of ")),
                 qPrintable(steps.join(QLatin1Char('\n'))));
    }
};

QTEST_GUILESS_MAIN(DemoTest)
#include "tst_demo.moc"
