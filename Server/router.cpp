#include "router.h"

#include <QUrl>

namespace tavrona {

PathPattern::PathPattern(const QString &pattern)
    : m_text(pattern) {
    if (!pattern.startsWith(QLatin1Char('/'))) {
        m_error = QStringLiteral("a pattern starts with \"/\"");
        return;
    }
    QString regex = QStringLiteral("^");
    qsizetype i = 0;
    while (i < pattern.size()) {
        const qsizetype open = pattern.indexOf(QLatin1Char('{'), i);
        if (open < 0) {
            regex += QRegularExpression::escape(pattern.mid(i));
            break;
        }
        regex += QRegularExpression::escape(pattern.mid(i, open - i));
        const qsizetype close = pattern.indexOf(QLatin1Char('}'), open);
        if (close < 0) {
            m_error = QStringLiteral("unclosed \"{\"");
            return;
        }
        QString name = pattern.mid(open + 1, close - open - 1);
        const bool rest = name.endsWith(QLatin1Char('*'));
        if (rest)
            name.chop(1);
        static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
        if (!identifier.match(name).hasMatch() || m_names.contains(name)) {
            m_error = QStringLiteral("bad or repeated parameter name \"%1\"").arg(name);
            return;
        }
        if (open > 0 && pattern[open - 1] == QLatin1Char('}')) {
            m_error = QStringLiteral("two parameters need literal text between them");
            return;
        }
        if (rest && (close + 1 != pattern.size() || pattern[open - 1] != QLatin1Char('/'))) {
            m_error = QStringLiteral("\"{%1*}\" must be the whole last segment").arg(name);
            return;
        }
        m_names << name;
        regex += rest ? QStringLiteral("([^?#]+)") : QStringLiteral("([^/?#]+?)");
        i = close + 1;
    }
    regex += QLatin1Char('$');
    m_regex.setPattern(regex);
    if (!m_regex.isValid())
        m_error = m_regex.errorString();
}

bool PathPattern::match(const QByteArray &rawPath, QHash<QString, QString> *params) const {
    if (!isValid())
        return false;
    const QRegularExpressionMatch found = m_regex.match(QString::fromLatin1(rawPath));
    if (!found.hasMatch())
        return false;
    if (params) {
        params->clear();
        for (qsizetype n = 0; n < m_names.size(); ++n)
            params->insert(m_names[n],
                           QUrl::fromPercentEncoding(found.captured(int(n) + 1).toLatin1()));
    }
    return true;
}

const Route &Router::add(const QByteArray &method, const QString &pattern, Body body,
                         Handler handler, Access access) {
    Route route{method, PathPattern(pattern), body, access, std::move(handler)};
    if (!route.pattern.isValid())
        qFatal("Route %s %s: %s", method.constData(), qPrintable(pattern),
               qPrintable(route.pattern.error()));
    m_routes.push_back(std::move(route));
    return m_routes.back();
}

Router::Match Router::match(const QByteArray &method, const QByteArray &rawPath) const {
    Match result;
    QHash<QString, QString> params;
    for (const Route &route : m_routes) {
        if (!route.pattern.match(rawPath, &params))
            continue;
        if (route.method == method) {
            result.route = &route;
            result.params = std::move(params);
            result.allowed.clear();
            return result;
        }
        if (!result.allowed.contains(route.method))
            result.allowed << route.method;
    }
    return result;
}

} // namespace tavrona
