#include "datatable.h"

#include "throwawayhome.h"

namespace {
// A cell's text: trimmed, or as written between double quotes, with its escapes replaced.
QString cellText(QString raw)
{
    raw = raw.trimmed();
    if (raw == QLatin1String("~"))
        return QString();
    if (raw.size() > 1 && raw.startsWith(QLatin1Char('"')) && raw.endsWith(QLatin1Char('"')))
        raw = raw.mid(1, raw.size() - 2);
    QString text = QLatin1String(""); // not null
    for (int i = 0; i < raw.size(); ++i) {
        const int escape = raw.at(i) == QLatin1Char('\\') ? QStringLiteral("nrt\\|\"u").indexOf(raw.mid(i + 1, 1)) : -1;
        if (escape < 0)
            text += raw.at(i);
        else if (escape < 6)
            text += QStringLiteral("\n\r\t\\|\"").at(escape);
        else
            text += QChar(raw.mid(i + 2, 4).toUShort(nullptr, 16));
        i += escape < 0 ? 0 : escape < 6 ? 1 : 5;
    }
    return text;
}
} // namespace

QList<QPair<QByteArray, QStringList>> readTable(const QString &file)
{
    const QString path = QStringLiteral(RUVELANT_SOURCE_DIR "/tests/data/") + file;
    const QString text = QString::fromUtf8(readFile(path));
    if (text.isEmpty())
        qFatal("cannot read the table %s", qPrintable(path));
    QList<QPair<QByteArray, QStringList>> rows;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList raw {QString()}; // split at each '|' that no backslash escapes
        for (int i = 0; i < line.size(); ++i) {
            if (line.at(i) == QLatin1Char('|')) {
                raw.append(QString());
                continue;
            }
            raw.last() += line.at(i);
            if (line.at(i) == QLatin1Char('\\') && i + 1 < line.size())
                raw.last() += line.at(++i);
        }
        QStringList cells;
        for (const QString &cell : std::as_const(raw))
            cells.append(cellText(cell));
        rows.append({cells.takeFirst().toUtf8(), cells});
    }
    return rows;
}

QList<QStringList> tableRows(const char *file)
{
    QList<QStringList> rows;
    for (const auto &[name, cells] : readTable(QLatin1String(file)))
        rows.append(QStringList {QString::fromUtf8(name)} + cells);
    return rows;
}
