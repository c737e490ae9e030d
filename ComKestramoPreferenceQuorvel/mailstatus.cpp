#include "mailstatus.h"

#include "bundle.h"

MailStatus MailStatus::current(const Bundle &bundle, const QString &sender)
{
    const MailRoute route = MailRoute::current(sender);
    return of(route, route.kind == MailRoute::Sendmail ? MailApplication::mailSystem() : MailApplication::MailSystem(),
              bundle);
}

MailStatus MailStatus::of(const MailRoute &route, const MailApplication::MailSystem &system, const Bundle &bundle)
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key), QString()); };
    MailStatus status;
    switch (route.kind) {
    case MailRoute::Account:
        status.found = true;
        status.text
            = tr(route.account.origin == MailAccount::Desktop ? "MailStatusDesktopAccount" : "MailStatusAccount")
                  .arg(route.account.address, route.account.serverText());
        return status;
    case MailRoute::None:
        status.offerAccount = true;
        status.text = route.unmatchedSender.isEmpty() ? tr("MailStatusMissing")
                                                      : tr("MailStatusNoAccountForSender").arg(route.unmatchedSender);
        return status;
    case MailRoute::Sendmail:
        break;
    }
    status.found = true;
    QString program = system.sendmail.isEmpty() ? route.sendmail : system.sendmail;
    if (!system.target.isEmpty() && system.target != program) {
        program += QStringLiteral(" → ") + system.target;
    }
    if (system.name == QLatin1String("script")) {
        status.text = tr("MailStatusScript").arg(program);
    } else if (system.name.isEmpty()) {
        status.text = tr("MailStatusUnknown").arg(program);
    } else {
        status.text = tr("MailStatusFound").arg(system.name, program);
    }
    if (!route.unmatchedSender.isEmpty()) {
        status.offerAccount = true;
        status.text += QLatin1Char(' ') + tr("MailStatusSenderWithoutAccount").arg(route.unmatchedSender);
    }
    return status;
}
