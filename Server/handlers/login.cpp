#include "handlers/login.h"

#include "pages.h"
#include "servicecontext.h"

#include <QRegularExpression>

namespace tavrona {

using json = nlohmann::json;

HttpReply LogInHandlers::start(const HttpRequest &request) {
    const QString code = ServiceContext::randomHex(16);
    const qint64 t = m_context.now();
    const int expirySecs = m_context.options.activationExpirySecs;
    if (!m_context.db.addActivation(ServiceContext::hashSecret(code), t, t + expirySecs))
        return HttpReply::error(500, QStringLiteral("cannot start the log-in"));
    return HttpReply::json({{"authorization_url", utf8(request.baseUrl + "activate/" + code)},
                            {"activation_code", utf8(code)},
                            {"expires_in", expirySecs}});
}

HttpReply LogInHandlers::poll(const HttpRequest &request) {
    HttpReply failure;
    const auto body = m_context.jsonBody(request, &failure);
    if (!body)
        return failure;
    const auto code = body->find("activation_code");
    if (code == body->end() || !code->is_string() || code->get<std::string>().empty())
        return HttpReply::error(400, QStringLiteral("\"activation_code\" (string) is required"));
    Database &db = m_context.db;
    const QString hash = ServiceContext::hashSecret(fromJson(*code));
    auto activation = db.activation(hash);
    if (!activation)
        return HttpReply::error(404, QStringLiteral("unknown or already used activation code"));
    if (activation->expiresAt < m_context.now())
        return HttpReply::error(410, QStringLiteral("the activation code has expired"));

    if (!activation->confirmedUserId) {
        const bool firstPoll = activation->polls == 0;
        db.countPoll(hash);
        if (m_context.options.autoConfirm && firstPoll) {
            if (const auto demo = db.userByEmail(ServiceContext::demoEmail()))
                db.confirmActivation(hash, demo->id);
        }
        return HttpReply::error(401, QStringLiteral("the log-in has not been confirmed yet"));
    }

    const auto user = db.userById(*activation->confirmedUserId);
    if (!user)
        return HttpReply::error(404, QStringLiteral("the confirming account no longer exists"));
    const QString token = ServiceContext::randomHex(32);
    if (!db.addToken(ServiceContext::hashSecret(token), user->id, m_context.now()))
        return HttpReply::error(500, QStringLiteral("cannot issue a token"));
    // One confirmation yields one token.
    db.removeActivation(hash);
    json reply = userJson(*user);
    reply["auth_token"] = utf8(token);
    if (m_context.options.activationWithoutUser)
        reply.erase("user");
    return HttpReply::json(reply);
}

HttpReply LogInHandlers::revoke(const HttpRequest &request) {
    HttpReply failure;
    if (!m_context.authenticate(request, &failure))
        return failure;
    m_context.db.removeToken(
        ServiceContext::hashSecret(QString::fromLatin1(request.header("x-api-token"))));
    return HttpReply::json({{"revoked", true}});
}

HttpReply LogInHandlers::info(const HttpRequest &request) {
    HttpReply failure;
    const auto user = m_context.authenticate(request, &failure);
    if (!user)
        return failure;
    return HttpReply::json(userJson(*user));
}

HttpReply LogInHandlers::activationPage(const HttpRequest &request) {
    const QString code = request.param(QStringLiteral("code"));
    Database &db = m_context.db;
    const QString hash = ServiceContext::hashSecret(code);
    const auto activation = db.activation(hash);
    if (!activation)
        return HttpReply::html(
            pages::message(QStringLiteral("Unknown log-in request"),
                           QStringLiteral("This log-in request does not exist or has been used. "
                                          "Start the log-in again from the program.")),
            404);
    if (activation->expiresAt < m_context.now())
        return HttpReply::html(
            pages::message(QStringLiteral("Log-in request expired"),
                           QStringLiteral("This log-in request has expired. Start the log-in "
                                          "again from the program.")),
            410);
    if (activation->confirmedUserId) {
        const auto user = db.userById(*activation->confirmedUserId);
        return HttpReply::html(user ? pages::activationConfirmed(*user)
                                    : pages::message(QStringLiteral("Log-in confirmed"),
                                                     QStringLiteral("Already confirmed.")));
    }
    User suggested = db.userByEmail(ServiceContext::demoEmail()).value_or(User{});
    if (request.method == "GET")
        return HttpReply::html(pages::activation(code, suggested));

    const QUrlQuery form(
        QString::fromUtf8(request.body).replace(QLatin1Char('+'), QLatin1Char(' ')));
    auto field = [&](const char *name) {
        return form.queryItemValue(QLatin1String(name), QUrl::FullyDecoded).trimmed();
    };
    User entered;
    entered.email = field("email").toLower();
    entered.firstName = field("first_name");
    entered.lastName = field("last_name");
    entered.organization = field("organization");
    static const QRegularExpression emailPattern(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
    const bool valid =
        emailPattern.match(entered.email).hasMatch() && entered.email.size() <= 254 &&
        entered.firstName.size() <= 100 && entered.lastName.size() <= 100 &&
        entered.organization.size() <= 200 &&
        !hasControlCharacters(entered.firstName + entered.lastName + entered.organization);
    if (!valid)
        return HttpReply::html(pages::activation(code, entered,
                                                 QStringLiteral("Please give a valid e-mail "
                                                                "address and short names.")),
                               400);
    auto user = db.userByEmail(entered.email);
    if (!user) {
        if (entered.firstName.isEmpty())
            entered.firstName = entered.email.section(QLatin1Char('@'), 0, 0);
        user = db.createUser(entered);
        if (!user)
            return HttpReply::html(pages::message(QStringLiteral("Error"),
                                                  QStringLiteral("Cannot create the account.")),
                                   500);
    }
    if (!db.confirmActivation(hash, user->id))
        return HttpReply::html(
            pages::message(QStringLiteral("Error"), QStringLiteral("Cannot confirm the log-in.")),
            500);
    return HttpReply::html(pages::activationConfirmed(*user));
}

} // namespace tavrona
