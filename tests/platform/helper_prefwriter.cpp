// Writes COUNT keys PREFIX0..PREFIXn into a preference domain, synchronising after each,
// so tests can race several writers against each other. With "--big", every value is a long
// text, so that a writer killed at a random moment is likely to be inside a write.
#include "preferenceservice.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        fprintf(stderr, "usage: helper_prefwriter DOMAIN PREFIX COUNT [--big]\n");
        return 2;
    }
    const bool big = args.size() > 4 && args.at(4) == QLatin1String("--big");
    const int count = args.at(3).toInt();
    PreferenceService service(args.at(1));
    for (int i = 0; i < count; ++i) {
        // Big: the longest text a setting holds.
        const QString value
            = big ? QString(PreferenceService::maxTextSize, QLatin1Char('a' + i % 26)) : QString::number(i);
        if (!service.setValue(args.at(2) + QString::number(i), value) || !service.synchronize()) {
            return 1;
        }
    }
    return 0;
}
