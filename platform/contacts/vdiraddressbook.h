#ifndef RUVELANT_VDIRADDRESSBOOK_H
#define RUVELANT_VDIRADDRESSBOOK_H

#include "addressbook.h"

#include <QList>
#include <QString>

// The address book kept as vCard vdir collections: root/<collection>/<card>.vcf, plus the
// file root/me naming the UID of the user's own card. Read on first use and again when a
// collection gains, loses or renames a card or the me file changes; never written.
class VdirAddressBook : public AddressBook
{
public:
    explicit VdirAddressBook(const QString &root);

    QString rootPath() const { return m_root; }

    std::optional<Person> me() const override;
    // Exact (case-sensitive) match; ordered by collection folder name, file name, card order.
    QList<Person> peopleWithEmail(const QString &address) const override;

    // Files larger than this are skipped.
    static constexpr qint64 maximumCardFileSize = 8 * 1024 * 1024;
    // A me file larger than this names no card.
    static constexpr qint64 maximumMeFileSize = 4096;

    // The cards of one vCard file's content (UTF-8, else Latin-1, or as its CHARSET parameters
    // say); what cannot be read is left out with a warning naming path.
    static QList<Person> readCards(QByteArray data, const QString &path);

private:
    void load() const;
    void loadFile(const QString &path) const;
    // What changes when cards are added, removed or replaced (as vdir tools do) or me changes.
    QByteArray stateStamp() const;

    QString m_root;
    mutable bool m_loaded = false;
    mutable QByteArray m_stamp;
    mutable QList<Person> m_people;
    mutable QString m_meUid;
};

#endif
