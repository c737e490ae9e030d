#include "ComKestramoLocaliztedTooltips.h"

#include "bundle.h"

namespace {
// A function of this class's own code: its address finds the bundle that holds the class.
void tooltipsCodeAnchor() { }

const Bundle *ownBundle()
{
    return Bundle::bundleForCode(reinterpret_cast<const void *>(&tooltipsCodeAnchor));
}

QString localized(const char *key)
{
    return ownBundle()->localizedStringForKey(QString::fromLatin1(key), QString());
}
} // namespace

QString ComKestramoLocaliztedTooltips::enableRuvelant() const
{
    return localized("tooltipEnableRuvelant");
}

QString ComKestramoLocaliztedTooltips::emailSubject() const
{
    return localized("tooltipEmailSubject");
}

QString ComKestramoLocaliztedTooltips::emailFrom() const
{
    return localized("tooltipEmailFrom");
}

QString ComKestramoLocaliztedTooltips::emailContent() const
{
    return localized("tooltipEmailContent");
}

QString ComKestramoLocaliztedTooltips::daysList() const
{
    return localized("tooltipDaysList");
}

QString ComKestramoLocaliztedTooltips::insertDate() const
{
    return localized("tooltipInsertDate");
}

QString ComKestramoLocaliztedTooltips::insertTime() const
{
    return localized("tooltipInsertTime");
}

QString ComKestramoLocaliztedTooltips::insertLastName() const
{
    return localized("tooltipInsertLastName");
}

QString ComKestramoLocaliztedTooltips::insertFirstName() const
{
    return localized("tooltipInsertFirstName");
}

QString ComKestramoLocaliztedTooltips::alertNow() const
{
    return localized("tooltipAlertNow");
}

QString ComKestramoLocaliztedTooltips::showLog() const
{
    return localized("tooltipShowLog");
}

QString ComKestramoLocaliztedTooltips::calendarsTable() const
{
    return localized("tooltipCalendarsTable");
}

QString ComKestramoLocaliztedTooltips::sendMissedReminders() const
{
    return localized("tooltipSendMissedReminders");
}

QString ComKestramoLocaliztedTooltips::creditsPath() const
{
    return ownBundle()->pathForResource(QStringLiteral("Credits"), QStringLiteral("rtfd"));
}
