#include "standarderrorcapture.h"

#include "throwawayhome.h"

#include <QRegularExpression>

#include <unistd.h>

StandardErrorCapture::StandardErrorCapture() : m_saved(::dup(STDERR_FILENO))
{
    m_file.open();
    ::dup2(m_file.handle(), STDERR_FILENO);
}

StandardErrorCapture::~StandardErrorCapture()
{
    release();
}

QString StandardErrorCapture::release()
{
    if (m_saved >= 0) {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
        m_written = QString::fromUtf8(readFile(m_file.fileName()));
    }
    return m_written;
}

QStringList StandardErrorCapture::logTexts()
{
    static const QRegularExpression record(
        QStringLiteral("^\\w{3} [ \\d]\\d [\\d:]{8} \\S+ \\S+\\[\\d+\\] <\\w+>: (.*)$"),
        QRegularExpression::MultilineOption);
    QStringList texts;
    auto it = record.globalMatch(release());
    while (it.hasNext()) {
        texts.append(it.next().captured(1));
    }
    return texts;
}
