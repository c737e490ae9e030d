#ifndef RUVELANT_MAILPROVIDERS_H
#define RUVELANT_MAILPROVIDERS_H

#include "mailaccount.h"

// The SMTP submission servers of the big mail providers, by the domain of an address.
namespace MailProviders {
struct Provider
{
    QString name; // "Gmail"
    QString host;
    int port = 0;
    MailSecurity security = MailSecurity::Tls;
    bool appPassword = false; // the provider wants an app password made in its security settings
};
// The provider of address's domain (compared without case); found false when it is none of them.
bool forAddress(const QString &address, Provider *provider);
} // namespace MailProviders

#endif
