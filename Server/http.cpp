#include "http.h"

namespace tavrona {

HttpReply HttpReply::json(const nlohmann::json &value, int status) {
    HttpReply reply;
    reply.status = status;
    reply.body = QByteArray::fromStdString(
        value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    return reply;
}

HttpReply HttpReply::error(int status, const QString &message, const nlohmann::json &details) {
    nlohmann::json body = {{"error", utf8(message)}};
    if (details.is_object())
        body.update(details);
    return json(body, status);
}

HttpReply HttpReply::html(const QString &page, int status) {
    HttpReply reply;
    reply.status = status;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = page.toUtf8();
    return reply;
}

HttpReply HttpReply::later(std::shared_ptr<PendingReply> pending) {
    HttpReply reply;
    reply.pending = std::move(pending);
    return reply;
}

void PendingReply::finish(HttpReply reply) {
    std::function<void(HttpReply)> deliver;
    {
        std::lock_guard lock(m_mutex);
        if (!m_deliver) {
            m_early = std::move(reply);
            return;
        }
        deliver = std::move(m_deliver);
    }
    deliver(std::move(reply));
}

void PendingReply::deliverTo(std::function<void(HttpReply)> deliver) {
    std::optional<HttpReply> early;
    {
        std::lock_guard lock(m_mutex);
        if (!m_early) {
            m_deliver = std::move(deliver);
            return;
        }
        early = std::move(m_early);
    }
    deliver(std::move(*early));
}

QByteArray HttpRequest::header(const QByteArray &lowerName) const {
    for (const auto &[name, value] : headers)
        if (name == lowerName)
            return value;
    return {};
}

bool hasControlCharacters(const QString &text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

} // namespace tavrona
