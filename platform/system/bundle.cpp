#include "bundle.h"

#include "propertylist.h"
#include "regularfile.h"
#include "stringstable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QTranslator>

#include <dlfcn.h>

Q_LOGGING_CATEGORY(lcBundle, "ruvelant.bundle")

namespace {
Bundle *s_mainOverride = nullptr;

// Strings tables larger than this are not read.
constexpr qint64 maxStringsTableSize = 4 * 1024 * 1024;

QString mainExecutablePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

const QStringList &bundleExtensions()
{
    static const QStringList extensions {QStringLiteral("app"), QStringLiteral("prefPane"), QStringLiteral("bundle"),
                                         QStringLiteral("plugin")};
    return extensions;
}
} // namespace

Bundle::Bundle(const QString &path)
    : m_path(QDir::cleanPath(QFileInfo(path).absoluteFilePath()))
    , m_isBundleFolder(QFileInfo(m_path + QStringLiteral("/Contents")).isDir())
{
}

Bundle::~Bundle() = default;

QString Bundle::bundlePathForBinary(const QString &binaryPath)
{
    const QFileInfo binary(binaryPath);
    const QDir macos = binary.absoluteDir();
    QDir contents = macos;
    if (macos.dirName() == QLatin1String("MacOS") && contents.cdUp()
        && contents.dirName() == QLatin1String("Contents")) {
        QDir bundle = contents;
        if (bundle.cdUp() && bundleExtensions().contains(QFileInfo(bundle.absolutePath()).suffix())) {
            return bundle.absolutePath();
        }
    }
    return binary.absolutePath();
}

Bundle *Bundle::mainBundle()
{
    if (s_mainOverride) {
        return s_mainOverride;
    }
    static Bundle *bundle = [] {
        const QString exe = mainExecutablePath();
        auto *b = new Bundle(bundlePathForBinary(exe));
        b->m_executablePath = exe;
        return b;
    }();
    return bundle;
}

void Bundle::setMainBundle(Bundle *bundle)
{
    s_mainOverride = bundle;
}

std::unique_ptr<Bundle> Bundle::ofProgram(const QString &executablePath)
{
    auto bundle = std::make_unique<Bundle>(bundlePathForBinary(executablePath));
    bundle->m_executablePath = QFileInfo(executablePath).absoluteFilePath();
    return bundle;
}

Bundle *Bundle::bundleForCode(const void *address)
{
    Dl_info info {};
    if (!dladdr(address, &info) || !info.dli_fname) {
        return mainBundle();
    }
    const QString binary = QFileInfo(QFile::decodeName(info.dli_fname)).canonicalFilePath();
    if (binary.isEmpty() || binary == mainExecutablePath()) {
        return mainBundle();
    }
    // Bundles of loaded plug-ins live as long as the process, like the plug-ins themselves.
    static QMutex mutex;
    static auto *bundles = new QHash<QString, Bundle *>; // never destroyed either
    QMutexLocker locker(&mutex);
    Bundle *&bundle = (*bundles)[binary];
    if (!bundle) {
        bundle = new Bundle(bundlePathForBinary(binary));
        bundle->m_executablePath = binary;
    }
    return bundle;
}

QString Bundle::resourcePath() const
{
    return m_isBundleFolder ? m_path + QStringLiteral("/Contents/Resources") : m_path;
}

QVariantMap Bundle::infoDictionary() const
{
    if (!m_info) {
        m_info = std::make_unique<QVariantMap>();
        if (m_isBundleFolder) {
            const QString path = m_path + QStringLiteral("/Contents/Info.plist");
            QVariant info;
            QString error;
            if (PropertyList::readFile(path, &info, &error)) {
                *m_info = info.toMap();
            } else if (QFileInfo::exists(path)) {
                qCWarning(lcBundle, "Cannot read %s: %s", qPrintable(path), qPrintable(error));
            }
        }
        if (!m_executablePath.isEmpty()) {
            m_info->insert(QStringLiteral("CFBundleExecutablePath"), m_executablePath);
        }
    }
    return *m_info;
}

QVariant Bundle::objectForInfoDictionaryKey(const QString &key) const
{
    return infoDictionary().value(key);
}

QString Bundle::bundleIdentifier() const
{
    return objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString();
}

QString Bundle::pathForResource(const QString &name, const QString &type) const
{
    const QString file = type.isEmpty() ? name : name + QLatin1Char('.') + type;
    const QString resources = resourcePath();
    QStringList candidates {resources + QLatin1Char('/') + file};
    const QStringList languages = preferredLanguages();
    for (const QString &language : languages) {
        candidates.append(resources + QLatin1Char('/') + language + QStringLiteral(".lproj/") + file);
    }
    for (const QString &candidate : qAsConst(candidates)) {
        if (QFileInfo::exists(candidate)) {
            return candidate;
        }
    }
    return QString();
}

QStringList Bundle::preferredLanguages()
{
    QStringList names;
    const QByteArray language = qgetenv("LANGUAGE");
    if (!language.isEmpty()) {
        names = QString::fromLocal8Bit(language).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }
    for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QByteArray value = qgetenv(variable);
        if (!value.isEmpty()) {
            names.append(QString::fromLocal8Bit(value));
            break;
        }
    }
    QStringList result;
    for (QString name : qAsConst(names)) {
        name = name.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
        if (name.isEmpty() || name == QLatin1String("C") || name == QLatin1String("POSIX")) {
            continue;
        }
        const QString base = name.section(QLatin1Char('_'), 0, 0);
        for (const QString &candidate : {name, base}) {
            if (!result.contains(candidate)) {
                result.append(candidate);
            }
        }
    }
    for (const QString &fallback : {QStringLiteral("en"), QStringLiteral("English"), QStringLiteral("Base")}) {
        if (!result.contains(fallback)) {
            result.append(fallback);
        }
    }
    return result;
}

const QHash<QString, QString> &Bundle::stringsTable() const
{
    // Read again when the process's language changed since the last look-up.
    const QStringList languages = preferredLanguages();
    if (!m_strings || languages != m_stringsLanguages) {
        m_strings = std::make_unique<QHash<QString, QString>>();
        m_stringsLanguages = languages;
        // Most preferred language first; a key that it lacks falls back to the next one, down to English.
        for (const QString &language : languages) {
            const QString path
                = resourcePath() + QLatin1Char('/') + language + QStringLiteral(".lproj/Localizable.strings");
            if (!QFileInfo::exists(path)) {
                continue;
            }
            QByteArray data;
            QString error;
            if (!RegularFile::read(path, maxStringsTableSize, &data, &error)) {
                qCWarning(lcBundle, "Cannot read the strings table %s: %s", qPrintable(path), qPrintable(error));
                continue;
            }
            const QHash<QString, QString> table = StringsTable::parse(data, &error);
            if (!error.isEmpty()) {
                qCWarning(lcBundle, "Malformed strings table %s, %s; the entries after it are ignored",
                          qPrintable(path), qPrintable(error));
            }
            for (auto it = table.cbegin(); it != table.cend(); ++it) {
                if (!m_strings->contains(it.key())) {
                    m_strings->insert(it.key(), it.value());
                }
            }
        }
    }
    return *m_strings;
}

const std::vector<std::unique_ptr<QTranslator>> &Bundle::translators() const
{
    const QStringList languages = preferredLanguages();
    if (!m_translators || languages != m_translatorLanguages) {
        m_translators = std::make_unique<std::vector<std::unique_ptr<QTranslator>>>();
        m_translatorLanguages = languages;
        for (const QString &language : languages) {
            const QString path = resourcePath() + QLatin1Char('/') + language + QStringLiteral(".lproj/Localizable.qm");
            auto translator = std::make_unique<QTranslator>();
            if (QFileInfo(path).isFile() && translator->load(path)) {
                m_translators->push_back(std::move(translator));
            }
        }
    }
    return *m_translators;
}

QString Bundle::localizedStringForKey(const QString &key, int count) const
{
    QString text;
    const QByteArray source = key.toUtf8();
    for (const auto &translator : translators()) {
        text = translator->translate("Localizable", source.constData(), nullptr, count);
        if (!text.isEmpty()) {
            break;
        }
    }
    if (text.isEmpty()) {
        text = localizedStringForKey(key);
    }
    return text.replace(QLatin1String("%n"), QString::number(count));
}

QString Bundle::localizedStringForKey(const QString &key, const QString &value) const
{
    const auto &table = stringsTable();
    const auto it = table.constFind(key);
    if (it != table.cend()) {
        return it.value();
    }
    return value.isEmpty() ? key : value;
}
