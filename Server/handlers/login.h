#pragma once

#include "http.h"

namespace tavrona {

struct ServiceContext;

// The browser log-in: the program starts it and polls with its activation code, the user
// confirms on the activation page, and the poll then yields a token.
class LogInHandlers {
public:
    explicit LogInHandlers(ServiceContext &context)
        : m_context(context) {}

    HttpReply start(const HttpRequest &request);
    HttpReply poll(const HttpRequest &request);
    HttpReply revoke(const HttpRequest &request);
    HttpReply info(const HttpRequest &request);
    HttpReply activationPage(const HttpRequest &request); // GET and POST /activate/{code}

private:
    ServiceContext &m_context;
};

} // namespace tavrona
