#include "helpbook.h"

#include "bundle.h"
#include "workspace.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QUrl>

Q_LOGGING_CATEGORY(lcHelpBook, "ruvelant.helpbook")

namespace {
const QString startPage = QStringLiteral("index.html");

struct Registry
{
    QHash<QString, QString> books; // book name -> bundle path
    QStringList registrations;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

QString bookFolderName(const Bundle &bundle)
{
    const QString folder = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookFolder")).toString();
    return folder.isEmpty() ? QStringLiteral("help") : folder;
}
} // namespace

bool HelpBook::registerHelpBook(const QString &bundlePath)
{
    const Bundle bundle(bundlePath);
    const QString name = bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleHelpBookName")).toString();
    if (name.isEmpty()) {
        qCWarning(lcHelpBook, "%s names no help book", qPrintable(bundlePath));
        return false;
    }
    registry().books.insert(name, bundle.bundlePath());
    registry().registrations.append(name);
    if (pagePath(name).isEmpty()) {
        qCWarning(lcHelpBook, "%s holds no pages of the help book \"%s\"", qPrintable(bundlePath), qPrintable(name));
        return false;
    }
    return true;
}

QString HelpBook::pagePath(const QString &bookName, const QString &page)
{
    const auto it = registry().books.constFind(bookName);
    if (it == registry().books.cend()) {
        return QString();
    }
    const Bundle bundle(*it);
    const QString folder = bookFolderName(bundle);
    const QString file = page.isEmpty() ? startPage : page;
    if (file.contains(QLatin1String(".."))) {
        return QString();
    }
    const QStringList languages = Bundle::preferredLanguages();
    for (const QString &language : languages) {
        const QString candidate
            = QStringLiteral("%1/%2.lproj/%3/%4").arg(bundle.resourcePath(), language, folder, file);
        if (QFileInfo(candidate).isFile()) {
            return candidate;
        }
    }
    return QString();
}

bool HelpBook::gotoPage(const QString &bookName, const QString &page, const QString &anchor)
{
    const QString path = pagePath(bookName, page);
    if (path.isEmpty()) {
        qCWarning(lcHelpBook, "no page \"%s\" in the help book \"%s\"", qPrintable(page.isEmpty() ? startPage : page),
                  qPrintable(bookName));
        return false;
    }
    QUrl url = QUrl::fromLocalFile(path);
    if (!anchor.isEmpty()) {
        url.setFragment(anchor);
    }
    return Workspace::openUrl(url);
}

QStringList HelpBook::registrations()
{
    return registry().registrations;
}
