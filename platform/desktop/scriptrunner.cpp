#include "scriptrunner.h"

#include "systempreferenceschannel.h"
#include "userfolders.h"
#include "workspace.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QHash>
#include <QLoggingCategory>
#include <QStringList>
#include <QThread>

#include <optional>

Q_LOGGING_CATEGORY(lcScriptRunner, "ruvelant.scriptrunner")

const QString ScriptRunner::ErrorNumberKey = QStringLiteral("NSAppleScriptErrorNumber");
const QString ScriptRunner::ErrorMessageKey = QStringLiteral("NSAppleScriptErrorMessage");

namespace {
// Error numbers of the script language for the failures that can happen here.
enum ScriptError {
    SyntaxError = -2741,
    CannotGetItem = -1728,
    FileNotFound = -43,
    ApplicationNotRunning = -600,
    UnknownApplication = -10814,
    UndefinedVariable = -2753,
    CommandFailed = -10000,
};

struct Failure
{
    int number;
    QString message;
};

// Words and double-quoted texts of one statement.
struct Token
{
    QString text;
    bool quoted;
};

std::optional<QList<Token>> tokenize(const QString &statement)
{
    QList<Token> tokens;
    for (int i = 0; i < statement.size();) {
        const QChar c = statement.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('"')) {
            QString text;
            int j = i + 1;
            for (; j < statement.size() && statement.at(j) != QLatin1Char('"'); ++j) {
                if (statement.at(j) == QLatin1Char('\\') && j + 1 < statement.size()) {
                    ++j;
                }
                text += statement.at(j);
            }
            if (j >= statement.size()) {
                return std::nullopt;
            }
            tokens.append({text, true});
            i = j + 1;
        } else {
            int j = i;
            while (j < statement.size() && !statement.at(j).isSpace() && statement.at(j) != QLatin1Char('"')) {
                ++j;
            }
            tokens.append({statement.mid(i, j - i), false});
            i = j;
        }
    }
    return tokens;
}

// Whether tokens start, from index at, with the given words (unquoted).
bool startsWith(const QList<Token> &tokens, int at, const QStringList &words)
{
    if (tokens.size() < at + words.size()) {
        return false;
    }
    for (int i = 0; i < words.size(); ++i) {
        if (tokens.at(at + i).quoted || tokens.at(at + i).text.compare(words.at(i), Qt::CaseInsensitive) != 0) {
            return false;
        }
    }
    return true;
}

bool isQuoted(const QList<Token> &tokens, int at)
{
    return at < tokens.size() && tokens.at(at).quoted;
}

class Interpreter
{
public:
    std::optional<Failure> run(const QString &source)
    {
        QString text = source;
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        const QStringList statements = text.split(QLatin1Char('\n'));
        for (const QString &statement : statements) {
            if (statement.trimmed().isEmpty()) {
                continue;
            }
            const std::optional<QList<Token>> tokens = tokenize(statement);
            if (!tokens) {
                return Failure {SyntaxError, QStringLiteral("Expected \"\"\" but found end of line.")};
            }
            if (std::optional<Failure> failure = execute(*tokens, statement.trimmed())) {
                return failure;
            }
        }
        if (!m_application.isEmpty()) {
            return Failure {SyntaxError, QStringLiteral("Expected \"end\" but found end of script.")};
        }
        return std::nullopt;
    }

private:
    std::optional<Failure> execute(const QList<Token> &tokens, const QString &statement)
    {
        if (startsWith(tokens, 0, {QStringLiteral("tell"), QStringLiteral("application")}) && isQuoted(tokens, 2)
            && tokens.size() == 3 && m_application.isEmpty()) {
            m_application = tokens.at(2).text;
            if (m_application != QLatin1String("System Preferences") && m_application != QLatin1String("Finder")) {
                return Failure {UnknownApplication,
                                QStringLiteral("Can't find application \"%1\".").arg(m_application)};
            }
            return std::nullopt;
        }
        if (startsWith(tokens, 0, {QStringLiteral("end"), QStringLiteral("tell")}) && tokens.size() == 2
            && !m_application.isEmpty()) {
            m_application.clear();
            return std::nullopt;
        }
        if (m_application == QLatin1String("System Preferences")) {
            return systemPreferences(tokens, statement);
        }
        if (m_application == QLatin1String("Finder")) {
            return finder(tokens, statement);
        }
        return unknown(statement);
    }

    static Failure unknown(const QString &statement)
    {
        return Failure {SyntaxError, QStringLiteral("This script runner does not know \"%1\".").arg(statement)};
    }

    static std::optional<Failure> hostFailure(const SystemPreferencesChannel::Reply &reply)
    {
        if (!reply.delivered) {
            return Failure {ApplicationNotRunning, QStringLiteral("Application isn't running: %1").arg(reply.error)};
        }
        if (!reply.ok) {
            return Failure {CommandFailed, QStringLiteral("System Preferences got an error: %1").arg(reply.error)};
        }
        return std::nullopt;
    }

    std::optional<Failure> ensureHost()
    {
        QString error;
        if (!SystemPreferencesChannel::startHost(&error)) {
            return Failure {ApplicationNotRunning,
                            QStringLiteral("System Preferences could not be started: %1").arg(error)};
        }
        return std::nullopt;
    }

    std::optional<Failure> systemPreferences(const QList<Token> &tokens, const QString &statement)
    {
        if (startsWith(tokens, 0, {QStringLiteral("quit")}) && tokens.size() == 1) {
            if (!SystemPreferencesChannel::isHostRunning()) {
                return std::nullopt; // nothing to quit
            }
            const SystemPreferencesChannel::Reply reply = SystemPreferencesChannel::send(QStringLiteral("quit"));
            if (!reply.delivered && !SystemPreferencesChannel::isHostRunning()) {
                return std::nullopt; // it went away before it could answer: it has quit as well
            }
            if (std::optional<Failure> failure = hostFailure(reply)) {
                return failure;
            }
            // The script ends when the host has gone, so that a later step may replace its panes
            // and a later start gets a fresh host.
            const QDeadlineTimer deadline(10000);
            while (SystemPreferencesChannel::isHostRunning()) {
                if (deadline.hasExpired()) {
                    return Failure {CommandFailed, QStringLiteral("System Preferences did not quit in time.")};
                }
                QThread::msleep(20);
            }
            return std::nullopt;
        }
        if (startsWith(tokens, 0, {QStringLiteral("activate")}) && tokens.size() == 1) {
            if (std::optional<Failure> failure = ensureHost()) {
                return failure;
            }
            return hostFailure(SystemPreferencesChannel::send(QStringLiteral("activate")));
        }
        // set X to every pane whose id is "ID"
        if (tokens.size() == 9 && startsWith(tokens, 0, {QStringLiteral("set")})
            && startsWith(tokens, 2,
                          {QStringLiteral("to"), QStringLiteral("every"), QStringLiteral("pane"),
                           QStringLiteral("whose"), QStringLiteral("id"), QStringLiteral("is")})
            && isQuoted(tokens, 8)) {
            if (std::optional<Failure> failure = ensureHost()) {
                return failure;
            }
            const SystemPreferencesChannel::Reply reply = SystemPreferencesChannel::send(QStringLiteral("list"));
            if (std::optional<Failure> failure = hostFailure(reply)) {
                return failure;
            }
            QStringList ids;
            for (const QString &line : reply.lines) {
                const QString id = line.section(QLatin1Char('\t'), 0, 0);
                if (id == tokens.at(8).text) {
                    ids.append(id);
                }
            }
            m_variables.insert(tokens.at(1).text, ids);
            return std::nullopt;
        }
        // set Y to first item of X
        if (tokens.size() == 7 && startsWith(tokens, 0, {QStringLiteral("set")})
            && startsWith(tokens, 2,
                          {QStringLiteral("to"), QStringLiteral("first"), QStringLiteral("item"), QStringLiteral("of")})
            && !tokens.at(6).quoted) {
            const auto list = m_variables.constFind(tokens.at(6).text);
            if (list == m_variables.cend()) {
                return Failure {UndefinedVariable,
                                QStringLiteral("The variable %1 is not defined.").arg(tokens.at(6).text)};
            }
            if (list->isEmpty()) {
                return Failure {CannotGetItem, QStringLiteral("Can't get item 1 of {}.")};
            }
            m_variables.insert(tokens.at(1).text, QStringList {list->first()});
            return std::nullopt;
        }
        // reveal Y
        if (tokens.size() == 2 && startsWith(tokens, 0, {QStringLiteral("reveal")}) && !tokens.at(1).quoted) {
            const auto pane = m_variables.constFind(tokens.at(1).text);
            if (pane == m_variables.cend() || pane->size() != 1) {
                return Failure {UndefinedVariable,
                                QStringLiteral("The variable %1 is not defined.").arg(tokens.at(1).text)};
            }
            if (std::optional<Failure> failure = ensureHost()) {
                return failure;
            }
            return hostFailure(SystemPreferencesChannel::send(QStringLiteral("reveal ") + pane->first()));
        }
        return unknown(statement);
    }

    std::optional<Failure> finder(const QList<Token> &tokens, const QString &statement)
    {
        // open document file "F" of folder "A" of ... of startup disk
        if (!startsWith(tokens, 0, {QStringLiteral("open"), QStringLiteral("document"), QStringLiteral("file")})
            || !isQuoted(tokens, 3)) {
            return unknown(statement);
        }
        QStringList names {tokens.at(3).text}; // innermost first
        int at = 4;
        while (startsWith(tokens, at, {QStringLiteral("of"), QStringLiteral("folder")}) && isQuoted(tokens, at + 2)) {
            names.append(tokens.at(at + 2).text);
            at += 3;
        }
        if (!startsWith(tokens, at, {QStringLiteral("of"), QStringLiteral("startup"), QStringLiteral("disk")})
            || at + 3 != tokens.size()) {
            return unknown(statement);
        }
        for (const QString &name : std::as_const(names)) {
            if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String("..")
                || name == QLatin1String(".")) {
                return Failure {FileNotFound, QStringLiteral("The file name \"%1\" cannot be used.").arg(name)};
            }
        }
        QString path;
        int outer = names.size() - 1;
        if (outer >= 1 && names.at(outer) == QLatin1String("Users")) {
            // A folder in Users is that user's home folder, wherever the system keeps it.
            path = homeFolderOfUser(names.at(outer - 1));
            if (path.isEmpty()) {
                return Failure {FileNotFound, QStringLiteral("There is no user \"%1\".").arg(names.at(outer - 1))};
            }
            outer -= 2;
        }
        for (int i = outer; i >= 0; --i) {
            path += QLatin1Char('/') + names.at(i);
        }
        QString error;
        if (!Workspace::openFile(path, &error)) {
            return Failure {FileNotFound, error};
        }
        return std::nullopt;
    }

    QString m_application;
    QHash<QString, QStringList> m_variables;
};
} // namespace

ScriptRunner::ScriptRunner(const QString &source) : m_source(source) { }

bool ScriptRunner::executeAndReturnError(QVariantMap *errorInfo)
{
    Interpreter interpreter;
    const std::optional<Failure> failure = interpreter.run(m_source);
    if (!failure) {
        return true;
    }
    qCWarning(lcScriptRunner, "script failed (%d): %s", failure->number, qPrintable(failure->message));
    if (errorInfo) {
        *errorInfo = {{ErrorNumberKey, failure->number}, {ErrorMessageKey, failure->message}};
    }
    return false;
}

QString ScriptRunner::describe(const QVariantMap &errorInfo)
{
    QStringList parts;
    for (auto it = errorInfo.cbegin(); it != errorInfo.cend(); ++it) {
        const bool number = it.value().userType() == QMetaType::Int;
        QString value = it.value().toString();
        if (!number) {
            value = QLatin1Char('"') + value.replace(QLatin1Char('"'), QLatin1String("\\\"")) + QLatin1Char('"');
        }
        parts.append(QStringLiteral("%1 = %2;").arg(it.key(), value));
    }
    return QStringLiteral("{%1}").arg(parts.join(QLatin1Char(' ')));
}
