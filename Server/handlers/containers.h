#pragma once

#include "http.h"

namespace tavrona {

struct ServiceContext;

// Containers and their presigned storage: the program creates a container, asks for signed
// upload URLs, and uploads each file with a raw PUT or a multipart form POST.
class ContainerHandlers {
public:
    explicit ContainerHandlers(ServiceContext &context)
        : m_context(context) {}

    HttpReply create(const HttpRequest &request);
    HttpReply presign(const HttpRequest &request);
    HttpReply put(const HttpRequest &request);  // PUT /storage/{container}/{path*}
    HttpReply post(const HttpRequest &request); // POST /storage/{container}, a form

private:
    HttpReply store(const QString &containerId, const QString &path, const QByteArray &data);

    ServiceContext &m_context;
    quint64 m_presignCount = 0;
};

} // namespace tavrona
