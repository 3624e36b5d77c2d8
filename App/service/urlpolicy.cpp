#include "service/urlpolicy.h"

#include <QHostAddress>

namespace {

// By address, or the one name every resolver maps to this machine; not "*.localhost", which a
// plain resolver may ask DNS about.
bool isLoopback(const QString &host) {
    const QString name = host.toLower();
    if (name == QLatin1String("localhost"))
        return true;
    const QHostAddress address(name);
    return !address.isNull() && address.isLoopback();
}

} // namespace

QString urlRefusal(const QUrl &url, const QUrl &serviceUrl) {
    if (!url.isValid() || url.isEmpty())
        return QStringLiteral("not a valid address");
    const QString scheme = url.scheme().toLower();
    if (scheme.isEmpty())
        return QStringLiteral("an address without a scheme");
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return QStringLiteral("%1: addresses are not followed").arg(scheme);
    const QString host = url.host();
    if (host.isEmpty())
        return QStringLiteral("a %1 address without a host").arg(scheme);
    if (scheme == QLatin1String("https"))
        return {};
    if (isLoopback(host) || host.compare(serviceUrl.host(), Qt::CaseInsensitive) == 0)
        return {};
    return QStringLiteral("plain http to %1, which is neither this machine nor the service")
        .arg(host);
}
