#include "mailstatus.h"

#include "bundle.h"
#include "mailapplication.h"

MailStatus MailStatus::current(const Bundle &bundle)
{
    const auto tr = [&bundle](const char *key) { return bundle.localizedStringForKey(QLatin1String(key), QString()); };
    const MailApplication::MailSystem system = MailApplication::mailSystem();
    MailStatus status;
    status.found = !system.sendmail.isEmpty();
    if (!status.found) {
        status.text = tr("MailStatusMissing");
        return status;
    }
    QString program = system.sendmail;
    if (!system.target.isEmpty() && system.target != system.sendmail) {
        program += QStringLiteral(" → ") + system.target;
    }
    if (system.name == QLatin1String("script")) {
        status.text = tr("MailStatusScript").arg(program);
    } else if (system.name.isEmpty()) {
        status.text = tr("MailStatusUnknown").arg(program);
    } else {
        status.text = tr("MailStatusFound").arg(system.name, program);
    }
    return status;
}
