// defaults: reads, writes and deletes the current user's preference values.
//
//   defaults read DOMAIN [KEY]
//   defaults write DOMAIN KEY [-string|-bool|-int|-array] VALUE...
//   defaults delete DOMAIN [KEY]

#include "preferenceservice.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>
#include <QVariantList>
#include <QVariantMap>

#include <cstdio>

namespace {
int usage(const QString &problem = QString())
{
    QTextStream err(stderr);
    if (!problem.isEmpty()) {
        err << "defaults: " << problem << '\n';
    }
    err << "usage: defaults read DOMAIN [KEY]\n"
           "       defaults write DOMAIN KEY [-string|-bool|-int|-array] VALUE...\n"
           "       defaults delete DOMAIN [KEY]\n";
    return 2;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "defaults: " << message << '\n';
    return 1;
}

QString quoted(const QString &text)
{
    static const QString plain = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-/");
    bool needsQuotes = text.isEmpty();
    for (const QChar c : text) {
        if (!plain.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    if (!needsQuotes) {
        return text;
    }
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

// The old-style property-list text that the platform's tool prints.
QString describe(const QVariant &value, int indent, bool topLevel)
{
    const QString pad(indent * 4, QLatin1Char(' '));
    const QString innerPad((indent + 1) * 4, QLatin1Char(' '));
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    case QMetaType::QString:
        return topLevel ? value.toString() : quoted(value.toString());
    case QMetaType::QByteArray:
        return QLatin1Char('{') + QString::fromLatin1(value.toByteArray().toHex()) + QLatin1Char('}');
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        QStringList items;
        for (const QVariant &item : list) {
            items.append(innerPad + describe(item, indent + 1, false));
        }
        return items.isEmpty()
            ? QStringLiteral("(\n") + pad + QLatin1Char(')')
            : QStringLiteral("(\n") + items.join(QStringLiteral(",\n")) + QLatin1Char('\n') + pad + QLatin1Char(')');
    }
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QString text = QStringLiteral("{\n");
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            text += innerPad + quoted(it.key()) + QStringLiteral(" = ") + describe(it.value(), indent + 1, false)
                + QStringLiteral(";\n");
        }
        return text + pad + QLatin1Char('}');
    }
    default:
        return value.toString();
    }
}

bool parseBool(const QString &text, bool *ok)
{
    const QString t = text.toLower();
    *ok = true;
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("1")) {
        return true;
    }
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("0")) {
        return false;
    }
    *ok = false;
    return false;
}

int write(PreferenceService &service, const QStringList &args)
{
    // args: KEY [TYPE] VALUE...
    if (args.size() < 2) {
        return usage(QStringLiteral("write needs a key and a value"));
    }
    const QString key = args.at(0);
    QString type = QStringLiteral("-string");
    QStringList values = args.mid(1);
    if (values.first().startsWith(QLatin1Char('-'))
        && QStringList {QStringLiteral("-string"), QStringLiteral("-bool"), QStringLiteral("-boolean"),
                        QStringLiteral("-int"), QStringLiteral("-integer"), QStringLiteral("-array")}
               .contains(values.first())) {
        type = values.takeFirst();
    }
    QVariant value;
    if (type == QLatin1String("-array")) {
        value = values; // an empty list is a valid empty array
    } else if (values.size() != 1) {
        return usage(QStringLiteral("%1 takes exactly one value").arg(type));
    } else if (type == QLatin1String("-string")) {
        value = values.first();
    } else if (type.startsWith(QLatin1String("-bool"))) {
        bool ok = false;
        value = parseBool(values.first(), &ok);
        if (!ok) {
            return fail(QStringLiteral("\"%1\" is not a boolean (true, false, yes, no, 1, 0)").arg(values.first()));
        }
    } else {
        bool ok = false;
        value = values.first().toLongLong(&ok);
        if (!ok) {
            return fail(QStringLiteral("\"%1\" is not an integer").arg(values.first()));
        }
    }
    QString error;
    if (!service.setValue(key, value, &error)) {
        return fail(QStringLiteral("%1 cannot be stored: %2").arg(key, error));
    }
    if (!service.synchronize(&error)) {
        return fail(error);
    }
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 2) {
        return usage();
    }
    const QString verb = args.takeFirst();
    const QString domain = args.takeFirst();
    QString why;
    if (!PreferenceService::isValidDomainName(domain, &why)) {
        return fail(why);
    }
    PreferenceService service(domain);

    if (verb == QLatin1String("read")) {
        if (args.size() > 1) {
            return usage(QStringLiteral("read takes at most one key"));
        }
        QString error;
        if (!service.synchronize(&error) && !service.readError().isEmpty()) {
            return fail(service.readError()); // not a domain without values
        }
        const QVariantMap values = service.values();
        if (args.isEmpty()) {
            if (values.isEmpty()) {
                return fail(QStringLiteral("The domain %1 does not exist").arg(domain));
            }
            QTextStream(stdout) << describe(values, 0, true) << '\n';
            return 0;
        }
        if (!values.contains(args.first())) {
            return fail(QStringLiteral("The domain/default pair of (%1, %2) does not exist").arg(domain, args.first()));
        }
        QTextStream(stdout) << describe(values.value(args.first()), 0, true) << '\n';
        return 0;
    }
    if (verb == QLatin1String("write")) {
        return write(service, args);
    }
    if (verb == QLatin1String("delete")) {
        if (args.size() > 1) {
            return usage(QStringLiteral("delete takes at most one key"));
        }
        if (!service.synchronize() && !service.readError().isEmpty()) {
            return fail(service.readError());
        }
        if (args.isEmpty()) {
            if (service.values().isEmpty()) {
                return fail(QStringLiteral("The domain %1 does not exist").arg(domain));
            }
            service.removeAllValues();
        } else {
            if (!service.values().contains(args.first())) {
                return fail(
                    QStringLiteral("The domain/default pair of (%1, %2) does not exist").arg(domain, args.first()));
            }
            service.setValue(args.first(), QVariant());
        }
        QString error;
        if (!service.synchronize(&error)) {
            return fail(error);
        }
        return 0;
    }
    return usage(QStringLiteral("unknown command \"%1\"").arg(verb));
}
