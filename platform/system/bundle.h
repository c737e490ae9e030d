#ifndef RUVELANT_BUNDLE_H
#define RUVELANT_BUNDLE_H

#include <QHash>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <vector>

class QTranslator;

// A bundle: a folder X.app / X.prefPane with Contents/Info.plist, Contents/MacOS/ and
// Contents/Resources/, or, for a bare executable, the folder that holds it.
class Bundle
{
public:
    // The bundle of the folder at path (a bundle folder, or a plain folder).
    explicit Bundle(const QString &path);
    ~Bundle();

    // The bundle of the running program. Made on first use.
    static Bundle *mainBundle();
    // Replaces the main bundle (tests, and a program that does another program's work as that
    // program: see ofProgram); nullptr restores the real one. The caller keeps ownership.
    static void setMainBundle(Bundle *bundle);
    // The bundle of the program at executablePath as that program sees it when it runs: what
    // mainBundle() is in it, its executable path included.
    static std::unique_ptr<Bundle> ofProgram(const QString &executablePath);
    // The bundle that holds the code at address (a function or object of that code).
    // Code linked into the program itself belongs to the main bundle.
    static Bundle *bundleForCode(const void *address);
    // The bundle that holds the executable or plug-in file at path.
    static QString bundlePathForBinary(const QString &binaryPath);

    QString bundlePath() const { return m_path; }
    QString resourcePath() const;
    QString bundleIdentifier() const;
    // The information property list as a map; empty when it has none or it cannot be read.
    QVariantMap infoDictionary() const;
    QVariant objectForInfoDictionaryKey(const QString &key) const;
    // The path of resource name.type (type may be empty), in the resources folder or a language
    // folder of it; empty when there is none.
    QString pathForResource(const QString &name, const QString &type) const;
    // The text of key in the default strings table for the process's language; value when the
    // key has no entry and value is not empty, else the key itself.
    QString localizedStringForKey(const QString &key, const QString &value = QString()) const;
    // The text of key in the form for count items, with every "%n" replaced by count: from the
    // Qt translation <lang>.lproj/Localizable.qm (context "Localizable", the key as source text,
    // its plural forms as the language has them), else the strings table's text, else the key.
    QString localizedStringForKey(const QString &key, int count) const;

    // The process's preferred languages, most preferred first (from LANGUAGE, LC_ALL,
    // LC_MESSAGES, LANG), each as "fr_FR" and then "fr"; always ending with English.
    static QStringList preferredLanguages();

private:
    const QHash<QString, QString> &stringsTable() const;
    const std::vector<std::unique_ptr<QTranslator>> &translators() const;

    QString m_path;
    QString m_executablePath; // set for the bundle of a loaded binary
    bool m_isBundleFolder = false;
    mutable std::unique_ptr<QVariantMap> m_info;
    mutable std::unique_ptr<QHash<QString, QString>> m_strings;
    mutable QStringList m_stringsLanguages;
    mutable std::unique_ptr<std::vector<std::unique_ptr<QTranslator>>> m_translators;
    mutable QStringList m_translatorLanguages;
};

#endif
