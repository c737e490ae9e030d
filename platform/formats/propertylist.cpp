#include "propertylist.h"

#include "regularfile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <QVector>

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace {
struct PlistDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Seconds between the Unix epoch and the property-list epoch (2001-01-01 UTC).
constexpr qint64 plistEpochOffset = 978307200;

// The deepest nesting of the XML elements of data, counted without a parser (comments, CDATA
// sections, declarations and empty elements do not nest); counting stops once it passes limit.
int xmlDepth(const QByteArray &data, int limit)
{
    const auto after = [&data](int from, const char *end) {
        const int at = data.indexOf(end, from);
        return at < 0 ? data.size() : at + int(std::strlen(end));
    };
    int depth = 0;
    int deepest = 0;
    for (int i = data.indexOf('<'); i >= 0 && deepest <= limit; i = data.indexOf('<', i)) {
        const char next = i + 1 < data.size() ? data.at(i + 1) : '\0';
        if (data.mid(i, 4) == "<!--") {
            i = after(i + 4, "-->");
        } else if (data.mid(i, 9) == "<![CDATA[") {
            i = after(i + 9, "]]>");
        } else if (next == '?' || next == '!') {
            i = after(i + 2, ">");
        } else if (next == '/') {
            depth = std::max(0, depth - 1);
            i = after(i + 2, ">");
        } else {
            const int end = after(i + 1, ">");
            if (!(end - i >= 3 && data.at(end - 1) == '>' && data.at(end - 2) == '/'))
                deepest = std::max(deepest, ++depth);
            i = end;
        }
    }
    return deepest;
}

// A big-endian number of width bytes at p.
quint64 bigEndian(const uchar *p, int width)
{
    quint64 value = 0;
    for (int k = 0; k < width; ++k)
        value = value << 8 | p[k];
    return value;
}

// The object table of a binary property list, as its trailer describes it.
struct BinaryTables
{
    const uchar *bytes = nullptr;
    qint64 size = 0;
    int offsetSize = 0;
    int refSize = 0;
    quint64 objects = 0;
    quint64 top = 0;
    quint64 table = 0;

    // Reads the trailer of data; false when its tables do not hold together.
    bool read(const QByteArray &data)
    {
        bytes = reinterpret_cast<const uchar *>(data.constData());
        size = data.size();
        if (size < 8 + 32)
            return false;
        const uchar *trailer = bytes + size - 32;
        offsetSize = trailer[6];
        refSize = trailer[7];
        objects = bigEndian(trailer + 8, 8);
        top = bigEndian(trailer + 16, 8);
        table = bigEndian(trailer + 24, 8);
        return offsetSize >= 1 && offsetSize <= 8 && refSize >= 1 && refSize <= 8 && objects != 0 && top < objects
            && table < quint64(size) && objects <= (quint64(size) - table) / quint64(offsetSize);
    }

    // The references that object holds: where they start and how many; false when its entry does
    // not hold together.
    bool children(quint64 object, quint64 *first, quint64 *count) const
    {
        const quint64 at = bigEndian(bytes + table + object * offsetSize, offsetSize);
        *count = 0;
        if (at < 8 || at >= table)
            return false;
        const uchar marker = bytes[at];
        const int type = marker >> 4;
        if (type != 0xA && type != 0xC && type != 0xD)
            return true;
        quint64 length = marker & 0x0F;
        quint64 pos = at + 1;
        if (length == 0x0F) {
            if (pos >= table || (bytes[pos] >> 4) != 0x1)
                return false;
            const int width = 1 << (bytes[pos] & 0x0F);
            if (width > 8 || pos + 1 + width > table)
                return false;
            length = bigEndian(bytes + pos + 1, width);
            pos += 1 + width;
        }
        const quint64 refs = type == 0xD ? length * 2 : length;
        if (length > quint64(size) || refs > (table - pos) / quint64(refSize))
            return false;
        *first = pos;
        *count = refs;
        return true;
    }

    // The object that reference index of a list starting at first names.
    quint64 reference(quint64 first, quint64 index) const
    {
        return bigEndian(bytes + first + index * refSize, refSize);
    }
};

// The deepest nesting of the containers of a binary property list; limit + 1 when it passes
// limit or refers to itself, -1 when its tables do not hold together. Each object is looked at
// once, so shared objects cost nothing more.
int binaryDepth(const QByteArray &data, int limit)
{
    BinaryTables tables;
    if (!tables.read(data))
        return -1;
    // Depth-first, without recursion: 0 = not seen, -1 = on the current path, else its height.
    QVector<int> height(int(std::min<quint64>(tables.objects, std::numeric_limits<int>::max())), 0);
    struct Frame
    {
        quint64 object;
        quint64 first;
        quint64 count;
        quint64 next;
        int tallest;
    };
    QVector<Frame> stack;
    const auto enter = [&](quint64 object) {
        Frame frame {object, 0, 0, 0, 0};
        if (!tables.children(object, &frame.first, &frame.count))
            return false;
        height[int(object)] = -1;
        stack.append(frame);
        return true;
    };
    if (tables.objects > quint64(height.size()) || !enter(tables.top))
        return -1;
    while (!stack.isEmpty()) {
        Frame &frame = stack.last();
        if (frame.next == frame.count) {
            const int done = frame.tallest + 1;
            height[int(frame.object)] = done;
            stack.removeLast();
            if (stack.isEmpty())
                return done;
            stack.last().tallest = std::max(stack.last().tallest, done);
            continue;
        }
        const quint64 child = tables.reference(frame.first, frame.next);
        ++frame.next;
        if (child >= tables.objects)
            return -1;
        if (height[int(child)] < 0 || stack.size() > limit)
            return limit + 1;
        if (height[int(child)] > 0)
            frame.tallest = std::max(frame.tallest, height[int(child)]);
        else if (!enter(child))
            return -1;
    }
    return -1;
}

QVariant toVariant(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        // Stored unsigned; negative integers come back through the two's complement.
        return QVariant(static_cast<qlonglong>(v));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return QVariant(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t length = 0;
        const char *s = plist_get_string_ptr(node, &length);
        return QVariant(QString::fromUtf8(s, static_cast<int>(length)));
    }
    case PLIST_DATA: {
        uint64_t length = 0;
        const char *d = plist_get_data_ptr(node, &length);
        return QVariant(QByteArray(d, static_cast<int>(length)));
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return QVariant(QDateTime::fromMSecsSinceEpoch((plistEpochOffset + sec) * 1000 + usec / 1000, Qt::UTC));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        for (uint32_t i = 0; i < n; ++i) {
            list.append(toVariant(plist_array_get_item(node, i)));
        }
        return list;
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!key) {
                break;
            }
            map.insert(QString::fromUtf8(key), toVariant(value));
            std::free(key);
        }
        std::free(it);
        return map;
    }
    default:
        return QVariant();
    }
}

// Whether XML 1.0 allows the code point c in a document (its production Char).
bool isXmlCharacter(uint c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

// The first place of text (in UTF-16 units) that XML cannot hold, -1 when none; *code is what
// stands there (a lone surrogate: itself).
int firstUnwritable(const QString &text, uint *code)
{
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i; // a character beyond the first plane: always allowed
            continue;
        }
        if (!isXmlCharacter(c.unicode())) {
            *code = c.unicode();
            return i;
        }
    }
    return -1;
}

// A text of value at path: the reason it cannot be written, or empty.
QString textAt(const QString &path, const QString &text)
{
    const QString problem = PropertyList::textProblem(text);
    return problem.isEmpty() || path.isEmpty() ? problem : path + QStringLiteral(": ") + problem;
}

QString joined(const QString &path, const QString &name)
{
    return path.isEmpty() ? name : path + QLatin1Char('/') + name;
}

// The libplist node of value (a text that cannot be written: nullptr, with the reason and the
// path to it in *error); the caller owns the node.
plist_t fromVariant(const QVariant &value, const QString &path, QString *error)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return plist_new_uint(static_cast<uint64_t>(value.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        return plist_new_data(data.constData(), static_cast<uint64_t>(data.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = value.toDateTime().toMSecsSinceEpoch() - plistEpochOffset * 1000;
        return plist_new_date(static_cast<int32_t>(ms / 1000), static_cast<int32_t>((ms % 1000) * 1000));
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        PlistPtr array(plist_new_array());
        const QVariantList list = value.toList();
        for (int i = 0; i < list.size(); ++i) {
            plist_t item = fromVariant(list.at(i), joined(path, QString::number(i)), error);
            if (!item) {
                return nullptr;
            }
            plist_array_append_item(static_cast<plist_t>(array.get()), item);
        }
        return static_cast<plist_t>(array.release());
    }
    case QMetaType::QVariantMap: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString key = PropertyList::textProblem(it.key());
            if (!key.isEmpty()) {
                *error = (path.isEmpty() ? QStringLiteral("a key: ") : QStringLiteral("a key of %1: ").arg(path)) + key;
                return nullptr;
            }
            plist_t item = fromVariant(it.value(), joined(path, it.key()), error);
            if (!item) {
                return nullptr;
            }
            plist_dict_set_item(static_cast<plist_t>(dict.get()), it.key().toUtf8().constData(), item);
        }
        return static_cast<plist_t>(dict.release());
    }
    default: {
        const QString text = value.toString();
        *error = textAt(path, text);
        return error->isEmpty() ? plist_new_string(text.toUtf8().constData()) : nullptr;
    }
    }
}
} // namespace

bool PropertyList::parse(const QByteArray &data, QVariant *value)
{
    if (data.isEmpty() || data.size() > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    plist_t root = nullptr;
    // The library reads (and frees) nested containers by recursion: a list nested thousands of
    // levels deep would overflow the stack, so the depth is measured first.
    if (plist_is_binary(data.constData(), static_cast<uint32_t>(data.size()))) {
        const int depth = binaryDepth(data, maxDepth);
        if (depth < 0 || depth > maxDepth) {
            return false;
        }
        plist_from_bin(data.constData(), static_cast<uint32_t>(data.size()), &root);
    } else {
        if (xmlDepth(data, maxDepth + 1) > maxDepth + 1) { // the <plist> element around the value
            return false;
        }
        // The XML parser wants the text to end with a NUL within its length; QByteArray has one after it.
        plist_from_xml(data.constData(), static_cast<uint32_t>(data.size()), &root);
    }
    if (!root) {
        return false;
    }
    PlistPtr guard(root);
    *value = toVariant(root);
    return true;
}

bool PropertyList::readFile(const QString &path, QVariant *value, QString *error)
{
    QByteArray data;
    QString why;
    if (!RegularFile::read(path, maxFileSize, &data, &why)) {
        if (error) {
            *error = why;
        }
        return false;
    }
    if (!parse(data, value)) {
        if (error) {
            *error = QStringLiteral("not a property list");
        }
        return false;
    }
    return true;
}

namespace {
// value with the type that reading its XML form back gives it; containers as QVariantList and
// QVariantMap, their items as they are.
QVariant asRead(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return QVariant(value.toLongLong());
    case QMetaType::Float:
        return QVariant(value.toDouble());
    case QMetaType::QStringList:
        return value.toList();
    default:
        return value;
    }
}
} // namespace

bool PropertyList::sameValue(const QVariant &a, const QVariant &b)
{
    const QVariant left = asRead(a);
    const QVariant right = asRead(b);
    if (left.userType() != right.userType()) {
        return false;
    }
    if (left.userType() == QMetaType::QVariantList) {
        const QVariantList l = left.toList();
        const QVariantList r = right.toList();
        return l.size() == r.size() && std::equal(l.cbegin(), l.cend(), r.cbegin(), sameValue);
    }
    if (left.userType() == QMetaType::QVariantMap) {
        const QVariantMap l = left.toMap();
        const QVariantMap r = right.toMap();
        return l.keys() == r.keys() && std::equal(l.cbegin(), l.cend(), r.cbegin(), sameValue);
    }
    return left == right; // two invalid values too
}

QString PropertyList::textProblem(const QString &text)
{
    uint code = 0;
    const int at = firstUnwritable(text, &code);
    if (at < 0) {
        return QString();
    }
    const QString hex = QStringLiteral("U+%1").arg(code, 4, 16, QLatin1Char('0')).toUpper();
    const QString what = code >= 0xD800 && code <= 0xDFFF ? QStringLiteral("half of a surrogate pair (%1)").arg(hex)
        : code < 0x20                                     ? QStringLiteral("the control character %1").arg(hex)
                                                          : QStringLiteral("the noncharacter %1").arg(hex);
    // The place in characters, as a person counts them (a pair of surrogates is one).
    const int place = QStringView(text).left(at).toUcs4().size() + 1;
    return QStringLiteral("the text holds %1 at character %2, which a property list cannot hold").arg(what).arg(place);
}

QString PropertyList::writableText(const QString &text)
{
    QString kept = text;
    uint code = 0;
    for (int at = firstUnwritable(kept, &code); at >= 0; at = firstUnwritable(kept, &code)) {
        kept.remove(at, 1);
    }
    return kept;
}

QByteArray PropertyList::toXml(const QVariant &value, QString *error)
{
    QString why;
    PlistPtr root(fromVariant(value, QString(), &why));
    if (root) {
        char *xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
        QByteArray result;
        if (length <= maxFileSize) {
            result = QByteArray(xml, static_cast<int>(length));
        } else {
            why = QStringLiteral("it would take %1 bytes, more than the %2 that a property list file may hold")
                      .arg(length)
                      .arg(maxFileSize);
        }
        plist_to_xml_free(xml);
        if (!result.isEmpty()) {
            return result;
        }
    }
    if (error) {
        *error = why;
    }
    return QByteArray();
}

bool PropertyList::writeFile(const QString &path, const QVariant &value, QString *error)
{
    QString why;
    const QByteArray xml = toXml(value, &why);
    if (xml.isEmpty()) {
        if (error) {
            *error = why;
        }
        return false;
    }
    // A preferences file kept elsewhere (a dotfiles repository) and linked into place is
    // replaced at its target: the link stays, and so does what the user made it for.
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    if (!RegularFile::replaceKeepingMode(target, xml, &why)) {
        if (error) {
            *error = why;
        }
        return false;
    }
    return true;
}
