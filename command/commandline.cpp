#include "commandline.h"

#include <cstdio>

namespace {
// Text broken into lines of at most 79 characters at spaces; its own line breaks are kept, and
// an indented line goes on indented two more.
QString wrapped(const QString &text)
{
    QStringList lines;
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        int indent = 0;
        while (indent < paragraph.size() && paragraph.at(indent) == QLatin1Char(' ')) {
            ++indent;
        }
        QString line = paragraph.left(indent);
        const QString goOn(indent > 0 ? indent + 2 : 0, QLatin1Char(' '));
        for (const QString &word : paragraph.mid(indent).split(QLatin1Char(' '))) {
            if (line.trimmed().size() > 0 && line.size() + 1 + word.size() > 79) {
                lines.append(line);
                line = goOn;
            }
            line += (line.trimmed().isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines.append(line);
    }
    return lines.join(QLatin1Char('\n'));
}
} // namespace

SubcommandLine::SubcommandLine(const QString &synopsis, const QString &description) : m_synopsis(synopsis)
{
    m_parser.setApplicationDescription(wrapped(description));
    m_parser.addOption(
        QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Prints this help.")));
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
}

int SubcommandLine::parse(const QStringList &arguments, int minimum, int maximum)
{
    const QString subcommand = m_synopsis.section(QLatin1Char(' '), 0, 0);
    // The parser takes the program's name first.
    if (!m_parser.parse(QStringList {QStringLiteral("ruvelant")} + arguments)) {
        return Output::fail(QStringLiteral("%1 (see ruvelant %2 --help)").arg(m_parser.errorText(), subcommand),
                            ExitStatus::Usage);
    }
    if (m_parser.isSet(QStringLiteral("help"))) {
        std::fputs(helpText().toUtf8().constData(), stdout);
        return ExitStatus::Success;
    }
    const int count = m_parser.positionalArguments().size();
    if (count < minimum || (maximum >= 0 && count > maximum)) {
        return Output::fail(QStringLiteral("usage: ruvelant %1 (see ruvelant %2 --help)").arg(m_synopsis, subcommand),
                            ExitStatus::Usage);
    }
    return -1;
}

QString SubcommandLine::helpText() const
{
    // The parser's help names the program alone in its usage line; this one names the subcommand.
    QString text = m_parser.helpText();
    const int end = text.indexOf(QLatin1Char('\n'));
    return QStringLiteral("Usage: ruvelant ") + m_synopsis + QLatin1Char('\n') + text.mid(end);
}

void Output::line(const QString &text)
{
    std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void Output::note(const QString &text)
{
    std::fflush(stdout);
    std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), stderr);
}

int Output::fail(const QString &message, int status)
{
    note(QStringLiteral("ruvelant: ") + message);
    return status;
}
