#ifndef RUVELANT_DATATABLE_H
#define RUVELANT_DATATABLE_H

#include <QByteArray>
#include <QPair>
#include <QStringList>
#include <QTest>

#include <initializer_list>
#include <tuple>
#include <type_traits>

// One row of a data table written in code; text columns may be given as UTF-8 literals, and
// nullptr stands for a null text.
inline QString cellValue(std::nullptr_t)
{
    return QString();
}
template<typename T> T cellValue(T value)
{
    return value;
}
template<typename... Columns> void row(const char *name, Columns... columns)
{
    (QTest::newRow(name) << ... << cellValue(columns));
}

// The rows of a table under tests/data: a line a row, its cells split at '|' and trimmed, the
// first naming the row; empty lines and lines starting with '#' are left out. A cell in double
// quotes keeps its blanks; \n \r \t \\ \| \" and \uXXXX stand for what they name (another
// backslash for itself); a cell that is just ~ is a null text, an empty one an empty text.
QList<QPair<QByteArray, QStringList>> readTable(const QString &file);
// The same rows, each as a list of its name and its cells.
QList<QStringList> tableRows(const char *file);

template<typename T> T tableCell(const QStringList &cells, int i);
template<> inline QString tableCell(const QStringList &cells, int i)
{
    return cells.at(i);
}
template<> inline QByteArray tableCell(const QStringList &cells, int i)
{
    if (cells.at(i).isNull())
        return QByteArray();
    const QByteArray bytes = cells.at(i).toUtf8();
    return bytes.isNull() ? QByteArray("") : bytes;
}
template<> inline int tableCell(const QStringList &cells, int i)
{
    bool ok = false;
    const int value = cells.at(i).toInt(&ok);
    if (!ok)
        qFatal("not a number in a table: \"%s\"", qPrintable(cells.at(i)));
    return value;
}
template<> inline bool tableCell(const QStringList &cells, int i)
{
    if (cells.at(i) != QLatin1String("true") && cells.at(i) != QLatin1String("false"))
        qFatal("neither true nor false in a table: \"%s\"", qPrintable(cells.at(i)));
    return cells.at(i) == QLatin1String("true");
}
// A text list, only as the last column: the row's remaining cells.
template<> inline QStringList tableCell(const QStringList &cells, int i)
{
    return cells.mid(i);
}

// Makes the columns (of those types, with those names) and rows of a test's data table from a
// table under tests/data (see readTable).
template<typename... Types> void dataTable(const char *file, std::initializer_list<const char *> names)
{
    constexpr int count = int(sizeof...(Types));
    constexpr bool rest = std::is_same_v<std::tuple_element_t<count - 1, std::tuple<Types...>>, QStringList>;
    if (int(names.size()) != count)
        qFatal("%s: %d column names for %d columns", file, int(names.size()), count);
    auto name = names.begin();
    (QTest::addColumn<Types>(*name++), ...);
    for (const auto &[tag, cells] : readTable(QLatin1String(file))) {
        if (rest ? cells.size() < count - 1 : cells.size() != count)
            qFatal("%s: the row \"%s\" has %d cells", file, tag.constData(), int(cells.size()));
        int i = 0;
        QTestData &data = QTest::newRow(tag.constData());
        ((data << tableCell<Types>(cells, i++)), ...);
    }
}

#endif
