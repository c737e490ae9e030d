#include "caldavdiscovery.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QSslError>
#include <QXmlStreamReader>

#include <optional>
#include <utility>

namespace {
const QString dav = QStringLiteral("DAV:");
const QString caldav = QStringLiteral("urn:ietf:params:xml:ns:caldav");

const QByteArray principalQuery = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                  "<d:propfind xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop>"
                                  "<d:current-user-principal/><c:calendar-home-set/><d:resourcetype/>"
                                  "</d:prop></d:propfind>";
const QByteArray calendarsQuery = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                  "<d:propfind xmlns:d=\"DAV:\" xmlns:c=\"urn:ietf:params:xml:ns:caldav\"><d:prop>"
                                  "<d:resourcetype/><d:displayname/><c:supported-calendar-component-set/>"
                                  "</d:prop></d:propfind>";

// The properties of one resource in a multistatus answer, from its successful propstats.
struct Resource
{
    QString href;
    QString principal; // current-user-principal
    QString home; // calendar-home-set (its first href)
    QString displayName;
    bool isCalendar = false;
    bool hasComponents = false; // whether the server said which components it takes
    bool takesEvents = false;
};

// Reads a WebDAV multistatus answer; false when it is none.
bool parseMultistatus(const QByteArray &body, QList<Resource> *resources)
{
    QXmlStreamReader xml(body);
    bool multistatus = false;
    Resource resource;
    Resource found; // what the current propstat holds
    QString property; // the property element being read, as "namespace name"
    while (!xml.atEnd()) {
        xml.readNext();
        const QString ns = xml.namespaceUri().toString();
        const QString name = xml.name().toString();
        if (xml.isStartElement()) {
            if (ns == dav && name == QLatin1String("multistatus")) {
                multistatus = true;
            } else if (ns == dav && name == QLatin1String("response")) {
                resource = Resource();
            } else if (ns == dav && name == QLatin1String("propstat")) {
                found = Resource();
            } else if (ns == dav && name == QLatin1String("href") && property.isEmpty()) {
                resource.href = xml.readElementText().trimmed();
            } else if (ns == dav && name == QLatin1String("status") && property.isEmpty()) {
                // Only the properties the server found count.
                if (xml.readElementText().contains(QLatin1String(" 200 "))) {
                    if (!found.principal.isEmpty())
                        resource.principal = found.principal;
                    if (!found.home.isEmpty())
                        resource.home = found.home;
                    if (!found.displayName.isEmpty())
                        resource.displayName = found.displayName;
                    resource.isCalendar = resource.isCalendar || found.isCalendar;
                    resource.hasComponents = resource.hasComponents || found.hasComponents;
                    resource.takesEvents = resource.takesEvents || found.takesEvents;
                }
            } else if (ns == dav && name == QLatin1String("prop")) {
                property.clear();
            } else if (property.isEmpty()) {
                property = ns + QLatin1Char(' ') + name;
                if (property == dav + QLatin1String(" displayname")) {
                    found.displayName = xml.readElementText(QXmlStreamReader::IncludeChildElements).trimmed();
                    property.clear();
                } else if (property == caldav + QLatin1String(" supported-calendar-component-set")) {
                    found.hasComponents = true;
                }
            } else if (ns == dav && name == QLatin1String("href")) {
                const QString href = xml.readElementText().trimmed();
                if (property == dav + QLatin1String(" current-user-principal")) {
                    found.principal = href;
                } else if (property == caldav + QLatin1String(" calendar-home-set") && found.home.isEmpty()) {
                    found.home = href;
                }
            } else if (property == dav + QLatin1String(" resourcetype") && ns == caldav
                       && name == QLatin1String("calendar")) {
                found.isCalendar = true;
            } else if (property == caldav + QLatin1String(" supported-calendar-component-set") && ns == caldav
                       && name == QLatin1String("comp")
                       && xml.attributes()
                               .value(QLatin1String("name"))
                               .compare(QLatin1String("VEVENT"), Qt::CaseInsensitive)
                           == 0) {
                found.takesEvents = true;
            }
        } else if (xml.isEndElement()) {
            if (!property.isEmpty() && property == ns + QLatin1Char(' ') + name) {
                property.clear();
            } else if (ns == dav && name == QLatin1String("response")) {
                resources->append(resource);
            }
        }
    }
    return multistatus && !xml.hasError();
}

// The name of the calendar at href: the last part of its path, decoded (as vdirsyncer names it).
QString collectionName(const QString &href)
{
    QString path = href;
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    return QUrl::fromPercentEncoding(path.section(QLatin1Char('/'), -1).toUtf8());
}

bool sameResource(const QUrl &a, const QUrl &b)
{
    return a.adjusted(QUrl::StripTrailingSlash) == b.adjusted(QUrl::StripTrailingSlash);
}
// Why a transfer failed before its answer could be read (the network, the certificate, the
// password); nullopt when it did not.
std::optional<std::pair<CalDavFailure, QString>> transferFailure(const QNetworkReply &reply, int status,
                                                                 const QString &reason, const QString &sslErrors)
{
    switch (reply.error()) {
    case QNetworkReply::AuthenticationRequiredError:
        return std::make_pair(CalDavFailure::WrongPassword, QStringLiteral("%1 %2").arg(status).arg(reason));
    case QNetworkReply::SslHandshakeFailedError:
        return std::make_pair(CalDavFailure::UntrustedCertificate,
                              sslErrors.isEmpty() ? reply.errorString() : sslErrors);
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // the transfer timeout
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return std::make_pair(CalDavFailure::Unreachable, reply.errorString());
    default:
        break;
    }
    if (status == 403) {
        return std::make_pair(CalDavFailure::WrongPassword, QStringLiteral("%1 %2").arg(status).arg(reason));
    }
    return std::nullopt;
}

// The event calendars that the collection at url lists (not itself, nor one that takes no events),
// each on origin, with a name that can be kept, and one of that name only.
QList<CalDavCalendar> calendarsIn(const QList<Resource> &resources, const QUrl &url, const QString &origin)
{
    QList<CalDavCalendar> calendars;
    QSet<QString> names;
    for (const Resource &resource : resources) {
        const QUrl address = url.resolved(QUrl(resource.href));
        if (!resource.isCalendar || sameResource(address, url) || (resource.hasComponents && !resource.takesEvents)) {
            continue;
        }
        const QString name = collectionName(resource.href);
        QString skipped;
        if (CalDavAccounts::origin(address) != origin) {
            skipped = QStringLiteral("it is on another server");
        } else if (!CalDavAccounts::isValidCollection(name)) {
            skipped = QStringLiteral("its name is empty or holds characters that no file can keep");
        } else if (names.contains(name)) {
            skipped = QStringLiteral("an earlier calendar has its name");
        }
        if (!skipped.isEmpty()) {
            qCWarning(lcAccounts).noquote()
                << "the calendar at" << resource.href << "listed by" << url.toString() << "is left out:" << skipped;
            continue;
        }
        names.insert(name);
        // A title on one line, as the calendar's folder keeps it.
        calendars.append({name, resource.displayName.simplified(), QString(), address.toString(QUrl::FullyEncoded)});
    }
    return calendars;
}

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'g', 3);
}

QString seconds(std::chrono::milliseconds time)
{
    return QStringLiteral("%1 s").arg(double(time.count()) / 1000, 0, 'g', 3);
}
} // namespace

CalDavDiscovery::CalDavDiscovery(QObject *parent, const CalDavLimits &limits) : QObject(parent), m_limits(limits)
{
    qRegisterMetaType<CalDavDiscovery::Result>();
    m_requestTimer.setSingleShot(true);
    m_searchTimer.setSingleShot(true);
    connect(&m_requestTimer, &QTimer::timeout, this, [this] {
        fail(CalDavFailure::Unreachable,
             QStringLiteral("no complete answer from %1 within %2")
                 .arg(m_reply ? m_reply->url().toString() : QString(), seconds(m_limits.requestTime)));
    });
    connect(&m_searchTimer, &QTimer::timeout, this, [this] {
        fail(CalDavFailure::Unreachable,
             QStringLiteral("the search for calendars on %1 did not end within %2")
                 .arg(m_origin, seconds(m_limits.discoveryTime)));
    });
}

CalDavDiscovery::~CalDavDiscovery()
{
    abort();
}

QUrl CalDavDiscovery::serverUrl(const QString &address)
{
    QString text = address.trimmed();
    if (!text.contains(QLatin1String("://"))) {
        text.prepend(QStringLiteral("https://"));
    }
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        return QUrl();
    }
    if (url.path().isEmpty()) {
        url.setPath(QStringLiteral("/"));
    }
    return url;
}

void CalDavDiscovery::start(const QString &address, const QString &userName, const QString &password)
{
    abort();
    const QUrl url = serverUrl(address);
    m_origin = CalDavAccounts::origin(url);
    m_movedTo.clear();
    m_userName = userName;
    m_password = password;
    m_redirects = 0;
    m_digestOnly = false;
    // A network of its own: no credentials or connections kept from an earlier search.
    delete m_network;
    m_network = new QNetworkAccessManager(this);
    connect(m_network, &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply *reply, QAuthenticator *authenticator) {
                const QByteArray offered = reply->rawHeader("WWW-Authenticate").toLower();
                if (!offered.isEmpty() && !offered.contains("basic")) {
                    m_digestOnly = true; // the sync speaks Basic only: not worth a try
                    return;
                }
                // The password goes to its own origin only; asked again for the same request,
                // the server refused it.
                if (CalDavAccounts::origin(reply->url()) == m_origin && ++m_authentications == 1) {
                    authenticator->setUser(m_userName);
                    authenticator->setPassword(m_password);
                }
            });
    if (!url.isValid()) {
        QMetaObject::invokeMethod(
            this,
            [this, address] {
                fail(CalDavFailure::NotCalDav, QStringLiteral("\"%1\" is no server address").arg(address));
            },
            Qt::QueuedConnection);
        return;
    }
    m_searchTimer.start(m_limits.discoveryTime);
    request(Step::Principal, url);
}

bool CalDavDiscovery::canFollow() const
{
    return !m_reply && m_network && m_movedTo.isValid() && m_movedTo.scheme() == QLatin1String("https");
}

bool CalDavDiscovery::follow()
{
    if (!canFollow()) {
        return false;
    }
    const QUrl target = m_movedTo;
    m_movedTo.clear();
    m_origin = CalDavAccounts::origin(target);
    m_redirects = 0;
    m_searchTimer.start(m_limits.discoveryTime);
    request(m_movedStep, target);
    return true;
}

void CalDavDiscovery::abort()
{
    m_requestTimer.stop();
    m_searchTimer.stop();
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void CalDavDiscovery::request(Step step, const QUrl &url)
{
    if (CalDavAccounts::origin(url) != m_origin) {
        m_movedStep = step;
        return fail(CalDavFailure::ServerMoved,
                    QStringLiteral("%1 sends on to %2").arg(m_origin, url.toString(QUrl::RemoveUserInfo)), url);
    }
    m_step = step;
    m_authentications = 0;
    m_sslErrors.clear();
    m_body.clear();
    QNetworkRequest request(url);
    request.setRawHeader("Depth", step == Step::Calendars ? "1" : "0");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/xml; charset=utf-8"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("Ruvelant"));
    // Answers read as they come, and counted: no decompression (whose zlib state Qt 5.15 leaves
    // behind, and which would let a small answer grow without bound).
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = m_network->sendCustomRequest(request, QByteArrayLiteral("PROPFIND"),
                                                        step == Step::Calendars ? calendarsQuery : principalQuery);
    m_reply = reply;
    m_requestTimer.start(m_limits.requestTime);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        QStringList texts;
        for (const QSslError &error : errors) {
            texts.append(error.errorString());
        }
        m_sslErrors = texts.join(QStringLiteral("; "));
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        // An answer announced larger than any that is read is not waited for.
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (reply == m_reply && length > m_limits.maxAnswerBytes) {
            fail(CalDavFailure::NotCalDav,
                 QStringLiteral("the answer of %1 would be %2, more than the %3 read")
                     .arg(reply->url().toString(), megabytes(length), megabytes(m_limits.maxAnswerBytes)));
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { read(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { handle(reply); });
}

void CalDavDiscovery::read(QNetworkReply *reply)
{
    if (reply != m_reply) {
        return;
    }
    m_body += reply->read(m_limits.maxAnswerBytes + 1 - m_body.size());
    if (m_body.size() > m_limits.maxAnswerBytes) {
        fail(CalDavFailure::NotCalDav,
             QStringLiteral("the answer of %1 is larger than the %2 read")
                 .arg(reply->url().toString(), megabytes(m_limits.maxAnswerBytes)));
    }
}

void CalDavDiscovery::handle(QNetworkReply *reply)
{
    read(reply);
    if (reply != m_reply) {
        return;
    }
    m_requestTimer.stop();
    m_reply = nullptr;
    reply->deleteLater();
    const QUrl url = reply->url();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();

    if (m_digestOnly) {
        return fail(CalDavFailure::DigestOnly, QStringLiteral("%1 asks for Digest authentication").arg(url.host()));
    }
    if (const auto failed = transferFailure(*reply, status, reason, m_sslErrors)) {
        return fail(failed->first, failed->second);
    }
    if (status >= 300 && status < 400 && status != 304) {
        return redirect(url, url.resolved(reply->header(QNetworkRequest::LocationHeader).toUrl()));
    }

    QList<Resource> resources;
    const bool answered = status == 207 && parseMultistatus(m_body, &resources);
    const auto notCalDav = [&] {
        fail(CalDavFailure::NotCalDav,
             status == 207 ? QStringLiteral("%1 names no calendars").arg(url.toString())
                           : QStringLiteral("%1 answered %2 %3").arg(url.toString()).arg(status).arg(reason));
    };

    switch (m_step) {
    case Step::Principal:
    case Step::WellKnown: {
        QString home;
        QString principal;
        for (const Resource &resource : qAsConst(resources)) {
            home = home.isEmpty() ? resource.home : home;
            principal = principal.isEmpty() ? resource.principal : principal;
        }
        if (!home.isEmpty()) {
            return request(Step::Calendars, url.resolved(QUrl(home)));
        }
        if (!principal.isEmpty() && !sameResource(url.resolved(QUrl(principal)), url)) {
            return request(Step::Home, url.resolved(QUrl(principal)));
        }
        if (m_step == Step::Principal) {
            // A server that keeps CalDAV elsewhere says where at its well-known address.
            QUrl wellKnown = url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
            wellKnown.setPath(QStringLiteral("/.well-known/caldav"));
            m_redirects = 0;
            return request(Step::WellKnown, wellKnown);
        }
        return notCalDav();
    }
    case Step::Home: {
        for (const Resource &resource : qAsConst(resources)) {
            if (!resource.home.isEmpty()) {
                return request(Step::Calendars, url.resolved(QUrl(resource.home)));
            }
        }
        return notCalDav();
    }
    case Step::Calendars: {
        if (!answered) {
            return notCalDav();
        }
        const QList<CalDavCalendar> calendars = calendarsIn(resources, url, m_origin);
        if (calendars.isEmpty()) {
            return fail(CalDavFailure::NoCalendars, url.toString());
        }
        return succeed(url.toString(), calendars);
    }
    }
}

void CalDavDiscovery::redirect(const QUrl &url, const QUrl &target)
{
    if (++m_redirects > m_limits.maxRedirects || !target.isValid()) {
        return fail(CalDavFailure::NotCalDav, QStringLiteral("too many redirections from %1").arg(url.toString()));
    }
    if (url.scheme() == QLatin1String("https") && target.scheme() != QLatin1String("https")) {
        return fail(CalDavFailure::NotCalDav,
                    QStringLiteral("%1 sends to the unencrypted address %2").arg(url.toString(), target.toString()));
    }
    request(m_step, target);
}

void CalDavDiscovery::fail(CalDavFailure failure, const QString &detail, const QUrl &movedTo)
{
    Result result;
    result.failure = failure;
    result.detail = detail;
    result.movedTo = movedTo;
    m_movedTo = movedTo;
    finish(result);
}

void CalDavDiscovery::succeed(const QString &home, const QList<CalDavCalendar> &calendars)
{
    Result result;
    result.home = home;
    result.calendars = calendars;
    finish(result);
}

void CalDavDiscovery::finish(const Result &result)
{
    abort(); // a transfer cut short, and the timers
    Q_EMIT finished(result);
}
