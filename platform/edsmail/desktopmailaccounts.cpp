// GLib's and EDS's headers first: they use words that Qt's headers would make into macros.
#define GOA_API_IS_SUBJECT_TO_CHANGE
#include <goa/goa.h>
#include <libedataserver/libedataserver.h>

#include "boundedcall_p.h"
#include "desktopmailaccounts.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcDesktopMail, "ruvelant.desktopmail")

namespace {
// A GLib main context of the calling thread's own for the lifetime of the object: the registry
// and the Online Accounts client deliver their signals there, never in the program's main loop.
class PrivateContext
{
public:
    PrivateContext() : m_context(g_main_context_new()) { g_main_context_push_thread_default(m_context); }
    ~PrivateContext()
    {
        g_main_context_pop_thread_default(m_context);
        g_main_context_unref(m_context);
    }
    PrivateContext(const PrivateContext &) = delete;
    PrivateContext &operator=(const PrivateContext &) = delete;

private:
    GMainContext *m_context;
};

template<typename T> struct Unref
{
    void operator()(T *object) const
    {
        if (object) {
            g_object_unref(object);
        }
    }
};
template<typename T> using Ref = std::unique_ptr<T, Unref<T>>;

QString text(const gchar *value)
{
    return QString::fromUtf8(value ? value : "");
}

// The message of error (which it frees), or fallback.
QString message(GError *error, const QString &fallback)
{
    if (!error) {
        return fallback;
    }
    const QString words = text(error->message);
    g_error_free(error);
    return words;
}

// The Online Accounts account that source, or a source above it, belongs to.
QString onlineAccountOf(ESourceRegistry *registry, ESource *source)
{
    Ref<ESource> current(E_SOURCE(g_object_ref(source)));
    for (int depth = 0; current && depth < 8; ++depth) {
        if (e_source_has_extension(current.get(), E_SOURCE_EXTENSION_GOA)) {
            auto *goa = E_SOURCE_GOA(e_source_get_extension(current.get(), E_SOURCE_EXTENSION_GOA));
            return text(e_source_goa_get_account_id(goa));
        }
        const gchar *parent = e_source_get_parent(current.get());
        if (!parent || !*parent) {
            break;
        }
        current.reset(e_source_registry_ref_source(registry, parent));
    }
    return QString();
}

// The identity with its SMTP transport; false when its mail does not go out through SMTP.
bool describe(ESourceRegistry *registry, ESource *identity, DesktopMailIdentity *out)
{
    if (!e_source_has_extension(identity, E_SOURCE_EXTENSION_MAIL_SUBMISSION)) {
        return false;
    }
    auto *submission = E_SOURCE_MAIL_SUBMISSION(e_source_get_extension(identity, E_SOURCE_EXTENSION_MAIL_SUBMISSION));
    const QString transportUid = text(e_source_mail_submission_get_transport_uid(submission));
    if (transportUid.isEmpty()) {
        return false;
    }
    Ref<ESource> transport(e_source_registry_ref_source(registry, transportUid.toUtf8().constData()));
    if (!transport || !e_source_registry_check_enabled(registry, transport.get())
        || !e_source_has_extension(transport.get(), E_SOURCE_EXTENSION_MAIL_TRANSPORT)) {
        return false;
    }
    auto *backend = E_SOURCE_BACKEND(e_source_get_extension(transport.get(), E_SOURCE_EXTENSION_MAIL_TRANSPORT));
    if (g_strcmp0(e_source_backend_get_backend_name(backend), "smtp") != 0
        || !e_source_has_extension(transport.get(), E_SOURCE_EXTENSION_AUTHENTICATION)) {
        return false;
    }
    auto *identityExtension
        = E_SOURCE_MAIL_IDENTITY(e_source_get_extension(identity, E_SOURCE_EXTENSION_MAIL_IDENTITY));
    auto *authentication
        = E_SOURCE_AUTHENTICATION(e_source_get_extension(transport.get(), E_SOURCE_EXTENSION_AUTHENTICATION));
    out->transportUid = transportUid;
    out->displayName = text(e_source_get_display_name(identity));
    out->address = text(e_source_mail_identity_get_address(identityExtension));
    out->name = text(e_source_mail_identity_get_name(identityExtension));
    out->host = text(e_source_authentication_get_host(authentication));
    out->port = e_source_authentication_get_port(authentication);
    out->userName = text(e_source_authentication_get_user(authentication));
    out->authMethod = text(e_source_authentication_get_method(authentication));
    out->security = QStringLiteral("none");
    if (e_source_has_extension(transport.get(), E_SOURCE_EXTENSION_SECURITY)) {
        auto *security = E_SOURCE_SECURITY(e_source_get_extension(transport.get(), E_SOURCE_EXTENSION_SECURITY));
        out->security = text(e_source_security_get_method(security));
    }
    out->onlineAccountId = onlineAccountOf(registry, transport.get());
    return !out->address.isEmpty() && !out->host.isEmpty();
}

struct Reading
{
    QList<DesktopMailIdentity> identities;
    QString problem;
};

Reading readIdentities()
{
    const PrivateContext context;
    Reading reading;
    GError *error = nullptr;
    Ref<ESourceRegistry> registry(e_source_registry_new_sync(nullptr, &error));
    if (!registry) {
        reading.problem = message(error, QStringLiteral("no registry"));
        return reading;
    }
    Ref<ESource> preferred(e_source_registry_ref_default_mail_identity(registry.get()));
    GList *identities = e_source_registry_list_enabled(registry.get(), E_SOURCE_EXTENSION_MAIL_IDENTITY);
    for (GList *link = identities; link; link = link->next) {
        auto *identity = E_SOURCE(link->data);
        DesktopMailIdentity described;
        if (describe(registry.get(), identity, &described)) {
            described.isDefault = preferred && e_source_equal(preferred.get(), identity);
            reading.identities.append(described);
        }
    }
    g_list_free_full(identities, g_object_unref);
    return reading;
}

struct Secret
{
    bool found = false;
    QString value;
    QString error;
};

Secret readPassword(const QByteArray &uid)
{
    const PrivateContext context;
    Secret secret;
    GError *error = nullptr;
    Ref<ESourceRegistry> registry(e_source_registry_new_sync(nullptr, &error));
    if (!registry) {
        secret.error = message(error, QStringLiteral("Evolution Data Server is not there"));
        return secret;
    }
    Ref<ESource> source(e_source_registry_ref_source(registry.get(), uid.constData()));
    if (!source) {
        secret.error = QStringLiteral("Evolution Data Server has no mail transport %1").arg(QString::fromUtf8(uid));
        return secret;
    }
    gchar *password = nullptr;
    if (!e_source_lookup_password_sync(source.get(), nullptr, &password, &error)) {
        secret.error = message(error, QStringLiteral("the keyring did not answer"));
        return secret;
    }
    if (!password || !*password) {
        g_free(password);
        secret.error = QStringLiteral("the keyring holds no password for this account of Evolution");
        return secret;
    }
    secret.found = true;
    secret.value = QString::fromUtf8(password);
    g_free(password);
    return secret;
}

Secret readToken(const QByteArray &accountId)
{
    const PrivateContext context;
    Secret secret;
    GError *error = nullptr;
    Ref<GoaClient> client(goa_client_new_sync(nullptr, &error));
    if (!client) {
        secret.error = message(error, QStringLiteral("Online Accounts is not there"));
        return secret;
    }
    Ref<GoaObject> object(goa_client_lookup_by_id(client.get(), accountId.constData()));
    if (!object) {
        secret.error = QStringLiteral("Online Accounts has no account %1").arg(QString::fromUtf8(accountId));
        return secret;
    }
    Ref<GoaAccount> account(goa_object_get_account(object.get()));
    Ref<GoaOAuth2Based> oauth2(goa_object_get_oauth2_based(object.get()));
    if (!account || !oauth2) {
        secret.error = QStringLiteral("the Online Accounts account %1 does not log in with OAuth2")
                           .arg(QString::fromUtf8(accountId));
        return secret;
    }
    gint expiresIn = 0;
    if (!goa_account_call_ensure_credentials_sync(account.get(), &expiresIn, nullptr, &error)) {
        secret.error = message(error, QStringLiteral("Online Accounts cannot log in to the account"));
        return secret;
    }
    gchar *token = nullptr;
    if (!goa_oauth2_based_call_get_access_token_sync(oauth2.get(), &token, &expiresIn, nullptr, &error)) {
        secret.error = message(error, QStringLiteral("Online Accounts gave no token"));
        return secret;
    }
    secret.found = token && *token;
    secret.value = QString::fromUtf8(token ? token : "");
    g_free(token);
    if (!secret.found) {
        secret.error = QStringLiteral("Online Accounts gave an empty token");
    }
    return secret;
}

QString seconds(std::chrono::milliseconds bound)
{
    return QString::number(bound.count() / 1000.0);
}
} // namespace

QList<DesktopMailIdentity> DesktopMailAccounts::read(std::chrono::milliseconds bound, QString *problem)
{
    const std::optional<Reading> reading = boundedCall<Reading>(bound, readIdentities);
    const QString why = reading
        ? reading->problem
        : QStringLiteral("Evolution Data Server did not answer within %1 seconds").arg(seconds(bound));
    if (!why.isEmpty()) {
        qCDebug(lcDesktopMail, "no desktop mail accounts: %s", qPrintable(why));
    }
    if (problem) {
        *problem = why;
    }
    return reading ? reading->identities : QList<DesktopMailIdentity>();
}

bool DesktopMailAccounts::lookupPassword(const QString &transportUid, QString *password, QString *error,
                                         std::chrono::milliseconds bound)
{
    const QByteArray uid = transportUid.toUtf8();
    const std::optional<Secret> secret = boundedCall<Secret>(bound, [uid] { return readPassword(uid); });
    if (!secret || !secret->found) {
        if (error) {
            *error = secret
                ? secret->error
                : QStringLiteral("the keyring did not give the password within %1 seconds").arg(seconds(bound));
        }
        return false;
    }
    *password = secret->value;
    return true;
}

bool OnlineAccounts::accessToken(const QString &accountId, QString *token, QString *error,
                                 std::chrono::milliseconds bound)
{
    const QByteArray id = accountId.toUtf8();
    const std::optional<Secret> secret = boundedCall<Secret>(bound, [id] { return readToken(id); });
    if (!secret || !secret->found) {
        if (error) {
            *error = secret ? secret->error
                            : QStringLiteral("Online Accounts gave no token within %1 seconds").arg(seconds(bound));
        }
        return false;
    }
    *token = secret->value;
    return true;
}
