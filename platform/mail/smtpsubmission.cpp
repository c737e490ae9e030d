#include "smtpsubmission.h"

#include <QLoggingCategory>
#include <QSysInfo>
#include <QUrl>

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstring>
#include <mutex>

Q_LOGGING_CATEGORY(lcSmtp, "ruvelant.smtp")

namespace {
// How long the connection (with its TLS) may take, at most; the whole submission has its own limit.
constexpr std::chrono::milliseconds connectLimit(30000);
// How much of the server's or the library's words a failure keeps.
constexpr int detailSize = 300;

void initializeCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The words of the protocol that the debug callback watches: the command the server is answering
// and the first answer that refused something. Commands are kept by their name only, never with
// their arguments (the AUTH exchange carries the password).
struct Dialog
{
    QString step;
    bool inAuth = false; // between AUTH and its final answer: the lines sent are credentials
    bool inData = false; // the server said 354: the next answer is the message's
    // The first refusal (4xx or 5xx): what came after it (RSET, QUIT) does not change it.
    QString failedStep;
    int failedCode = 0;
    QString failedText;

    void sent(const QByteArray &line)
    {
        if (inAuth) {
            return;
        }
        const int space = line.indexOf(' ');
        const QByteArray word = (space < 0 ? line : line.left(space)).trimmed().toUpper();
        static const QList<QByteArray> known {"EHLO", "HELO", "STARTTLS", "AUTH", "MAIL",
                                              "RCPT", "DATA", "RSET",     "QUIT"};
        if (!known.contains(word)) {
            return;
        }
        step = word == "MAIL" ? QStringLiteral("MAIL FROM")
            : word == "RCPT"  ? QStringLiteral("RCPT TO")
                              : QString::fromLatin1(word);
        inAuth = word == "AUTH";
    }

    void received(const QByteArray &line)
    {
        // The last line of a reply has a space after its code ("250 OK"), the others a hyphen.
        if (line.size() < 3 || (line.size() > 3 && line.at(3) == '-')) {
            return;
        }
        bool ok = false;
        const int code = line.left(3).toInt(&ok);
        if (!ok) {
            return;
        }
        if (inAuth && code == 334) {
            return; // a challenge; the exchange goes on
        }
        inAuth = false;
        QString answered = step.isEmpty() ? QStringLiteral("CONNECT") : step; // the greeting
        if (inData) {
            answered = QStringLiteral("END OF DATA");
            inData = false;
        } else if (step == QLatin1String("DATA") && code == 354) {
            inData = true;
        }
        if (code >= 400 && failedCode == 0) {
            failedStep = answered;
            failedCode = code;
            failedText = QString::fromUtf8(line.mid(4)).simplified().left(detailSize);
        }
    }
};

int watch(CURL *, curl_infotype type, char *data, size_t size, void *context)
{
    auto *dialog = static_cast<Dialog *>(context);
    const QByteArray lines(data, int(std::min<size_t>(size, 64 * 1024)));
    if (type == CURLINFO_HEADER_OUT) {
        dialog->sent(lines);
    } else if (type == CURLINFO_HEADER_IN) {
        for (const QByteArray &line : lines.split('\n')) {
            if (!line.trimmed().isEmpty()) {
                dialog->received(line.trimmed());
            }
        }
    }
    return 0;
}

// The message being submitted, handed to libcurl piece by piece.
struct Upload
{
    QByteArray data;
    qsizetype offset = 0;
};

size_t readMessage(char *buffer, size_t size, size_t count, void *context)
{
    auto *upload = static_cast<Upload *>(context);
    const size_t left = size_t(upload->data.size() - upload->offset);
    const size_t n = std::min(left, size * count);
    std::memcpy(buffer, upload->data.constData() + upload->offset, n);
    upload->offset += qsizetype(n);
    return n;
}

// Adds the certificates of SSL_CERT_FILE and SSL_CERT_DIR to those libcurl loaded from the
// system's store: a company's or a test's own authority is trusted besides the usual ones.
CURLcode addCertificates(CURL *, void *sslContext, void *)
{
    X509_STORE *store = SSL_CTX_get_cert_store(static_cast<SSL_CTX *>(sslContext));
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    const QByteArray folder = qgetenv("SSL_CERT_DIR");
    if (!file.isEmpty() && X509_STORE_load_file(store, file.constData()) != 1) {
        qCWarning(lcSmtp, "cannot read the certificates of SSL_CERT_FILE=%s", file.constData());
    }
    // SSL_CERT_DIR may name several folders, as OpenSSL takes it.
    for (const QByteArray &path : folder.split(':')) {
        if (!path.isEmpty() && X509_STORE_load_path(store, path.constData()) != 1) {
            qCWarning(lcSmtp, "cannot use the certificate folder %s of SSL_CERT_DIR", path.constData());
        }
    }
    return CURLE_OK;
}

// The name this computer gives in EHLO: its host name when that is a plain DNS name.
QByteArray ehloName()
{
    const QByteArray host = QSysInfo::machineHostName().toLatin1();
    const bool usable = !host.isEmpty() && std::all_of(host.cbegin(), host.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    });
    return usable ? host : QByteArrayLiteral("localhost");
}

int portOf(const SmtpServer &server)
{
    return server.port > 0 ? server.port : defaultMailPort(server.security);
}

QString serverText(const SmtpServer &server)
{
    const QString host = server.host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(server.host) : server.host;
    return QStringLiteral("%1:%2").arg(host).arg(portOf(server));
}

QByteArray url(const SmtpServer &server)
{
    const QByteArray host
        = server.host.contains(QLatin1Char(':')) ? '[' + server.host.toLatin1() + ']' : QUrl::toAce(server.host);
    const QByteArray scheme = server.security == MailSecurity::Tls ? "smtps" : "smtp";
    return scheme + "://" + host + ':' + QByteArray::number(portOf(server)) + '/' + ehloName();
}

// Every line end CR LF, as SMTP wants them.
QByteArray crlfLines(const QByteArray &message)
{
    QByteArray out;
    out.reserve(message.size() + message.size() / 40);
    for (qsizetype i = 0; i < message.size(); ++i) {
        const char c = message.at(i);
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    if (!out.endsWith("\r\n")) {
        out += "\r\n";
    }
    return out;
}

// What libcurl's outcome and the server's last answer mean.
SmtpFailure classify(CURLcode result, const Dialog &dialog, const char *errorText)
{
    SmtpFailure failure;
    if (result == CURLE_OK) {
        return failure;
    }
    const QString library
        = QString::fromUtf8(*errorText ? errorText : curl_easy_strerror(result)).simplified().left(detailSize);
    failure.detail = library;
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        failure.kind = SmtpFailure::HostUnknown;
        return failure;
    case CURLE_COULDNT_CONNECT:
        failure.kind = SmtpFailure::Unreachable;
        return failure;
    case CURLE_OPERATION_TIMEDOUT:
        failure.kind = SmtpFailure::NoAnswer;
        return failure;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        failure.kind = SmtpFailure::UntrustedCertificate;
        return failure;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
        failure.kind = SmtpFailure::SecureConnectionFailed;
        return failure;
    default:
        break;
    }
    if (dialog.failedCode >= 400) {
        failure.kind = SmtpFailure::kindOfReply(dialog.failedStep, dialog.failedCode, dialog.failedText);
        failure.step = dialog.failedStep;
        failure.reply = dialog.failedCode;
        failure.detail = QStringLiteral("%1 %2").arg(dialog.failedCode).arg(dialog.failedText).trimmed();
        return failure;
    }
    switch (result) {
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        failure.kind = SmtpFailure::Unreachable;
        break;
    case CURLE_LOGIN_DENIED:
        failure.kind = SmtpFailure::LoginRefused;
        break;
    default:
        failure.kind = SmtpFailure::Failed;
        break;
    }
    return failure;
}

// One submission, or with connectOnly a login check; message empty then.
SmtpFailure submit(const SmtpServer &server, const QByteArray &from, const QByteArray &recipient,
                   const QByteArray &message, std::chrono::milliseconds timeout, bool connectOnly)
{
    initializeCurl();
    SmtpFailure failure;
    failure.server = serverText(server);
    CURL *curl = curl_easy_init();
    if (!curl) {
        failure.kind = SmtpFailure::Failed;
        failure.detail = QStringLiteral("libcurl could not be started");
        return failure;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    Dialog dialog;
    Upload upload {connectOnly ? QByteArray() : crlfLines(message), 0};
    const QByteArray address = url(server);
    const QByteArray user = server.userName.toUtf8();
    const QByteArray secret = server.secret.toUtf8();
    const QByteArray mailFrom = '<' + from + '>';
    const QByteArray rcpt = '<' + recipient + '>';
    curl_slist *recipients = connectOnly ? nullptr : curl_slist_append(nullptr, rcpt.constData());

    curl_easy_setopt(curl, CURLOPT_URL, address.constData());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(std::min(timeout, connectLimit).count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(timeout.count()));
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L); // the dialog goes to watch(), nowhere else
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, watch);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &dialog);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, addCertificates) != CURLE_OK) {
        // A libcurl without OpenSSL: the file alone then, in place of the system's.
        if (!qEnvironmentVariableIsEmpty("SSL_CERT_FILE")) {
            curl_easy_setopt(curl, CURLOPT_CAINFO, qgetenv("SSL_CERT_FILE").constData());
        }
    }
    if (server.security == MailSecurity::StartTls) {
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    }
    if (server.login != MailAccount::NoLogin) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
        if (server.login == MailAccount::OAuth2) {
            curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, secret.constData());
            curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=XOAUTH2");
        } else {
            curl_easy_setopt(curl, CURLOPT_PASSWORD, secret.constData());
        }
    }
    if (connectOnly) {
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    } else {
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, mailFrom.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readMessage);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(upload.data.size()));
    }
    const CURLcode result = curl_easy_perform(curl);
    const SmtpFailure outcome = classify(result, dialog, errorText);
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
    failure.kind = outcome.kind;
    failure.step = outcome.step;
    failure.reply = outcome.reply;
    failure.detail = outcome.detail;
    if (failure) {
        qCDebug(lcSmtp) << "submission failed:" << failure.reason() << "libcurl:" << result << errorText;
    }
    return failure;
}
} // namespace

SmtpFailure SmtpSubmission::send(const SmtpServer &server, const QByteArray &envelopeFrom, const QByteArray &recipient,
                                 const QByteArray &message, std::chrono::milliseconds timeout)
{
    return submit(server, envelopeFrom, recipient, message, timeout, false);
}

SmtpFailure SmtpSubmission::checkLogin(const SmtpServer &server, std::chrono::milliseconds timeout)
{
    return submit(server, QByteArray(), QByteArray(), QByteArray(), timeout, true);
}
