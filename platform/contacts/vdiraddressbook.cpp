#include "vdiraddressbook.h"

#include "contentline.h"
#include "regularfile.h"

#include <KContacts/Addressee>
#include <KContacts/VCardConverter>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <climits>

Q_LOGGING_CATEGORY(lcAddressBook, "ruvelant.addressbook")

namespace {
const QByteArray utf8Bom("\xEF\xBB\xBF");

// What the preparation of a file's text found out.
struct Scan
{
    QList<QStringList> cardEmails; // the EMAIL values of each complete card, in the card's order
    int incompleteCards = 0;
};

// Notes one unfolded content line.
void scanLine(const QByteArray &line, Scan *scan, bool *inCard, QStringList *emails)
{
    const QByteArray trimmed = line.trimmed().toUpper();
    if (trimmed == "BEGIN:VCARD") {
        if (*inCard) {
            ++scan->incompleteCards;
        }
        *inCard = true;
        emails->clear();
        return;
    }
    if (trimmed == "END:VCARD") {
        if (*inCard) {
            scan->cardEmails.append(*emails);
        }
        *inCard = false;
        return;
    }
    const int colon = ContentLine::valueSeparator(line);
    if (!*inCard || colon < 0) {
        return;
    }
    int nameEnd = line.indexOf(';');
    if (nameEnd < 0 || nameEnd > colon) {
        nameEnd = colon;
    }
    if (line.left(nameEnd).trimmed().toUpper() == "EMAIL") {
        emails->append(QString::fromUtf8(line.mid(colon + 1).trimmed()));
    }
}

// Turns every line end into LF and drops property groups ("item1.EMAIL" becomes "EMAIL"), which
// the vCard reader would otherwise ignore; notes the e-mail order of each card on the way.
QByteArray prepare(QByteArray data, Scan *scan)
{
    data.replace("\r\n", "\n");
    data.replace('\r', '\n');
    const QList<QByteArray> lines = data.split('\n');
    QByteArray out;
    out.reserve(data.size());
    QByteArray logical;
    bool inCard = false;
    QStringList emails;
    for (QByteArray line : lines) {
        const bool continuation = !line.isEmpty() && (line.at(0) == ' ' || line.at(0) == '\t');
        // vCard 2.1 quoted-printable values continue after a trailing "=" on unindented lines.
        const int separator = ContentLine::valueSeparator(logical);
        const bool quotedPrintable
            = logical.endsWith('=') && separator > 0 && logical.left(separator).toUpper().contains("QUOTED-PRINTABLE");
        if (continuation) {
            logical += line.mid(1);
        } else if (quotedPrintable) {
            logical += line;
        } else {
            int i = 0;
            while (i < line.size() && (isalnum(static_cast<unsigned char>(line.at(i))) || line.at(i) == '-')) {
                ++i;
            }
            // Only a group in front of a property name ("item1.EMAIL;..." or "item1.EMAIL:"), never
            // text such as "www.example.com" on an unindented quoted-printable continuation line.
            int name = i + 1;
            while (name < line.size() && (isalnum(static_cast<unsigned char>(line.at(name))) || line.at(name) == '-')) {
                ++name;
            }
            const auto at = [&line](int k) { return k < line.size() ? line.at(k) : '\0'; };
            if (i > 0 && at(i) == '.' && name > i + 1 && (at(name) == ':' || at(name) == ';')) {
                line.remove(0, i + 1);
            }
            scanLine(logical, scan, &inCard, &emails);
            logical = line;
        }
        out += line;
        out += '\n';
    }
    scanLine(logical, scan, &inCard, &emails);
    if (inCard) {
        ++scan->incompleteCards;
    }
    return out;
}

QString nonEmptyOrNull(const QString &text)
{
    return text.isEmpty() ? QString() : text;
}

QStringList sortedEntries(const QDir &dir, QDir::Filters filters)
{
    QStringList names = dir.entryList(filters, QDir::NoSort);
    std::sort(names.begin(), names.end());
    return names;
}

bool isReadableFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isReadable() && info.isExecutable();
}
} // namespace

VdirAddressBook::VdirAddressBook(const QString &root) : m_root(root) { }

std::optional<Person> VdirAddressBook::me() const
{
    load();
    if (m_meUid.isEmpty()) {
        return std::nullopt;
    }
    for (const Person &person : std::as_const(m_people)) {
        if (person.uid == m_meUid) {
            return person;
        }
    }
    qCWarning(lcAddressBook) << "The file" << QDir(m_root).filePath(QStringLiteral("me")) << "names the card" << m_meUid
                             << "but no card has that UID";
    return std::nullopt;
}

QList<Person> VdirAddressBook::peopleWithEmail(const QString &address) const
{
    load();
    QList<Person> found;
    for (const Person &person : std::as_const(m_people)) {
        if (person.emails.contains(address, Qt::CaseSensitive)) {
            found.append(person);
        }
    }
    return found;
}

QByteArray VdirAddressBook::stateStamp() const
{
    // The me file, and the folders' time stamps and file names (a file added, removed or renamed
    // within one tick of the clock leaves the time stamp as it was).
    QByteArray stamp;
    const auto add = [&stamp](const QFileInfo &info) {
        stamp += QFile::encodeName(info.fileName()) + ' ' + QByteArray::number(info.lastModified().toMSecsSinceEpoch())
            + ' ' + QByteArray::number(info.size()) + '\n';
    };
    const QDir root(m_root);
    QByteArray me;
    QString error;
    if (RegularFile::read(root.filePath(QStringLiteral("me")), maximumMeFileSize, &me, &error)) {
        stamp += me + '\n'; // small, and read whole: a same-size change within a tick counts
    }
    for (const QString &collection : sortedEntries(root, QDir::Dirs | QDir::NoDotAndDotDot)) {
        add(QFileInfo(root.filePath(collection)));
        stamp
            += QFile::encodeName(QDir(root.filePath(collection)).entryList(QDir::Files).join(QLatin1Char('/'))) + '\n';
    }
    return stamp;
}

void VdirAddressBook::load() const
{
    // vdir tools replace a card by writing a new file and renaming it, which changes its folder's
    // time stamp: a changed stamp means the cards must be read again.
    const QByteArray stamp = stateStamp();
    if (m_loaded && stamp == m_stamp) {
        return;
    }
    m_loaded = true;
    m_stamp = stamp;
    m_people.clear();
    m_meUid.clear();

    const QDir root(m_root);
    if (!isReadableFolder(m_root)) {
        qCWarning(lcAddressBook) << "Cannot read the contacts folder" << m_root;
        return;
    }
    for (const QString &collection : sortedEntries(root, QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString collectionPath = root.filePath(collection);
        if (!isReadableFolder(collectionPath)) {
            qCWarning(lcAddressBook) << "Cannot read the address book folder" << collectionPath << "- skipped";
            continue;
        }
        const QDir dir(collectionPath);
        for (const QString &name : sortedEntries(dir, QDir::Files)) {
            if (name.endsWith(QLatin1String(".vcf"), Qt::CaseInsensitive)) {
                loadFile(dir.filePath(name));
            }
        }
    }

    const QString mePath = root.filePath(QStringLiteral("me"));
    QByteArray first;
    QString error;
    if (QFileInfo::exists(mePath)) {
        if (!RegularFile::read(mePath, maximumMeFileSize, &first, &error)) {
            qCWarning(lcAddressBook) << "Cannot read" << mePath << ":" << error;
            return;
        }
        first.truncate(first.indexOf('\n') < 0 ? first.size() : first.indexOf('\n'));
        if (first.startsWith(utf8Bom)) {
            first.remove(0, utf8Bom.size());
        }
        const int cr = first.indexOf('\r');
        if (cr >= 0) {
            first.truncate(cr);
        }
        m_meUid = QString::fromUtf8(first).trimmed();
    }
}

void VdirAddressBook::loadFile(const QString &path) const
{
    QByteArray data;
    QString error;
    if (!RegularFile::read(path, maximumCardFileSize, &data, &error)) {
        qCWarning(lcAddressBook) << "Skipped" << path << "-" << error;
        return;
    }
    m_people.append(readCards(data, path));
}

QList<Person> VdirAddressBook::readCards(QByteArray data, const QString &path)
{
    if (data.startsWith(utf8Bom)) {
        data.remove(0, utf8Bom.size());
    }
    if (data.trimmed().isEmpty()) {
        qCWarning(lcAddressBook) << "Skipped" << path << "- it is empty";
        return {};
    }
    const int nul = data.indexOf('\0');
    if (nul >= 0) {
        qCWarning(lcAddressBook) << path << "holds a NUL byte at offset" << nul << "- read only the cards before it";
        data.truncate(nul);
    }
    if (!ContentLine::isValidUtf8(data) && !data.toUpper().contains("CHARSET=")) {
        qCWarning(lcAddressBook) << path << "is not UTF-8 text - read as Latin-1";
        data = QString::fromLatin1(data).toUtf8();
    }

    Scan scan;
    data = prepare(data, &scan);
    if (scan.incompleteCards > 0) {
        qCWarning(lcAddressBook) << path << "holds" << scan.incompleteCards << "card(s) without an end - skipped";
    }
    const KContacts::Addressee::List cards = KContacts::VCardConverter().parseVCards(data);
    if (cards.isEmpty()) {
        qCWarning(lcAddressBook) << "Skipped" << path << "- no readable vCard in it";
        return {};
    }
    // The reader puts a preferred address first; keep the card's own order where it is known.
    const bool orderKnown = scan.cardEmails.size() == cards.size();
    QList<Person> people;
    for (int i = 0; i < cards.size(); ++i) {
        const KContacts::Addressee &card = cards.at(i);
        Person person;
        person.uid = card.uid();
        person.firstName = nonEmptyOrNull(card.givenName());
        person.lastName = nonEmptyOrNull(card.familyName());
        person.emails = card.emails();
        if (orderKnown) {
            const QStringList &order = scan.cardEmails.at(i);
            std::stable_sort(person.emails.begin(), person.emails.end(), [&order](const QString &a, const QString &b) {
                const int ia = order.indexOf(a);
                const int ib = order.indexOf(b);
                return (ia < 0 ? INT_MAX : ia) < (ib < 0 ? INT_MAX : ib);
            });
        }
        people.append(person);
    }
    return people;
}
