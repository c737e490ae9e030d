#include "throwawayhome.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <ctime>

ThrowAwayHome::ThrowAwayHome(const QByteArray &tz, const QByteArray &lang)
    : m_dir(QDir::tempPath() + QStringLiteral("/ruvelant-home-XXXXXX"))
{
    QVERIFY2(m_dir.isValid(), "cannot make a throw-away home");
    const QByteArray home = QFile::encodeName(m_dir.path());
    setEnv("HOME", home);
    setEnv("XDG_DATA_HOME", home + "/.local/share");
    setEnv("XDG_CONFIG_HOME", home + "/.config");
    setEnv("XDG_CACHE_HOME", home + "/.cache");
    setEnv("XDG_STATE_HOME", home + "/.local/state");
    // Sockets of per-user services (the preferences host) live here, never the real user's.
    QDir().mkpath(m_dir.filePath(QStringLiteral("run")));
    QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setEnv("XDG_RUNTIME_DIR", home + "/run");
    // What the test's programs schedule stays in this home, wherever PATH leads.
    copyFixture(QStringLiteral("launchctl/bin"), QStringLiteral("scheduler"));
    for (const char *program : {"scheduler/systemctl", "scheduler/crontab"})
        QFile::setPermissions(filePath(QLatin1String(program)), QFile::ReadOwner | QFile::ExeOwner);
    setEnv("RUVELANT_SCHEDULER_DIR", QFile::encodeName(schedulerFolder()));
    // Nothing a test does reaches the real desktop session.
    setEnv("DBUS_SESSION_BUS_ADDRESS", QByteArray());
    setEnv("TZ", tz);
    setEnv("LANG", lang);
    setEnv("LANGUAGE", QByteArray());
    setEnv("LC_ALL", QByteArray());
    setEnv("LC_TIME", QByteArray());
    setEnv("LC_MESSAGES", QByteArray());
    tzset();
}

ThrowAwayHome::~ThrowAwayHome()
{
    for (auto it = m_saved.crbegin(); it != m_saved.crend(); ++it) {
        if (it->second.startsWith('\0')) {
            qunsetenv(it->first.constData());
        } else {
            qputenv(it->first.constData(), it->second);
        }
    }
    tzset();
}

void ThrowAwayHome::setEnv(const char *name, const QByteArray &value)
{
    m_saved.append({QByteArray(name), qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray(1, '\0')});
    if (value.isNull()) {
        qunsetenv(name);
    } else {
        qputenv(name, value);
    }
}

void ThrowAwayHome::writeFile(const QString &relative, const QByteArray &content) const
{
    const QString path = filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

void ThrowAwayHome::writeProgram(const QString &relative, const QByteArray &content) const
{
    writeFile(relative, content);
    QFile::setPermissions(filePath(relative), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void ThrowAwayHome::copyFixture(const QString &fixture, const QString &relative,
                                const QHash<QByteArray, QByteArray> &replacements) const
{
    const QDir source(QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/") + fixture);
    QVERIFY2(source.exists(), qPrintable(source.path()));
    QDirIterator it(source.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QByteArray content = readFile(it.next());
        for (auto r = replacements.cbegin(); r != replacements.cend(); ++r) {
            content.replace(r.key(), r.value());
        }
        writeFile(relative + QLatin1Char('/') + source.relativeFilePath(it.filePath()), content);
    }
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString buildPath(const QString &relative)
{
    return QStringLiteral(RUVELANT_BUILD_DIR "/") + relative;
}

std::unique_ptr<QProcess> startProgram(const char *relative, const QStringList &arguments, bool keepErrors)
{
    auto program = std::make_unique<QProcess>();
    if (!keepErrors)
        program->setStandardErrorFile(QProcess::nullDevice());
    program->start(buildPath(QLatin1String(relative)), arguments);
    program->closeWriteChannel();
    return program;
}

int finish(QProcess &program, QString *errors, int timeout)
{
    if (!program.waitForFinished(timeout)) {
        program.kill();
        program.waitForFinished();
    }
    if (errors)
        *errors = QString::fromUtf8(program.readAllStandardError());
    return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
}

QStringList logRecords(const QString &path)
{
    QStringList records;
    const QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('\t')) && !records.isEmpty()) {
            records.last() += QLatin1Char('\n') + line.mid(1);
        } else {
            records.append(line);
        }
    }
    return records;
}
