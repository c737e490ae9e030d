#include "caldavfailure.h"

namespace {
const char *const names[]
    = {"None",       "WrongPassword",       "Unreachable",  "UntrustedCertificate", "NotCalDav",   "NoCalendars",
       "DigestOnly", "PasswordUnavailable", "CalendarGone", "SyncProgramMissing",   "ServerMoved", "Other"};
constexpr int count = int(sizeof(names) / sizeof(names[0]));
static_assert(count == int(CalDavFailure::Other) + 1, "a name for every failure");
} // namespace

QString calDavFailureName(CalDavFailure failure)
{
    return QLatin1String(names[int(failure)]);
}

CalDavFailure calDavFailureFromName(const QString &name)
{
    for (int i = 0; i < count; ++i) {
        if (name == QLatin1String(names[i])) {
            return CalDavFailure(i);
        }
    }
    return CalDavFailure::Other;
}
