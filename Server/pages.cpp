#include "pages.h"

#include <QDateTime>

namespace tavrona::pages {

namespace {

QString esc(const QString &text) {
    return text.toHtmlEscaped();
}

QString layout(const QString &title, const QString &body, const QString &head = {}) {
    return QStringLiteral(
               "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
               "<title>%1 · Tavrona</title><style>"
               "body{font-family:sans-serif;margin:2em auto;max-width:72em;padding:0 1em;"
               "color:#222;background:#fafafa}"
               "header{border-bottom:1px solid #ccc;margin-bottom:1.5em}"
               "header a{color:#245;text-decoration:none;font-weight:bold}"
               "form{display:grid;grid-template-columns:max-content 24em;gap:.5em 1em}"
               "button{grid-column:2;padding:.6em;font-size:1.1em;background:#2a6;color:#fff;"
               "border:0;border-radius:4px;cursor:pointer}"
               ".error{color:#a22}.code{font-family:monospace;font-size:1.2em}"
               "figure{margin:0 0 2em 0}figure img{max-width:100%;height:auto;"
               "border:1px solid #ccc;background:#fff}"
               "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:.3em .6em;"
               "text-align:left;vertical-align:top}"
               "</style>%3</head><body><header><p><a href=\"/\">Tavrona</a></p></header>"
               "<main><h1>%1</h1>%2</main></body></html>\n")
        .arg(esc(title), body, head);
}

QString timeText(qint64 secs) {
    return QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

QString message(const QString &title, const QString &text) {
    return layout(title, QStringLiteral("<p>%1</p>").arg(esc(text)));
}

QString index(const QString &baseUrl) {
    return layout(QStringLiteral("Tavrona service"),
                  QStringLiteral("<p>This is a local Tavrona service. Point Mireva at "
                                 "<span class=\"code\">%1</span> and log in from the program; "
                                 "saved scans open from the program's scan list.</p>"
                                 "<p><a href=\"/crash-reports\">Crash reports</a></p>")
                      .arg(esc(baseUrl)));
}

QString activation(const QString &code, const User &suggested, const QString &error) {
    QString body;
    if (!error.isEmpty())
        body += QStringLiteral("<p class=\"error\">%1</p>").arg(esc(error));
    body += QStringLiteral(
                "<p>Mireva asks to log in with the code <span class=\"code\">%1</span>. "
                "Check that the program shows the same request, then confirm. An e-mail address "
                "that has no account yet creates one.</p>"
                "<form method=\"post\" action=\"/activate/%1\">"
                "<label for=\"email\">E-mail</label>"
                "<input id=\"email\" name=\"email\" type=\"email\" required value=\"%2\">"
                "<label for=\"first_name\">First name</label>"
                "<input id=\"first_name\" name=\"first_name\" value=\"%3\">"
                "<label for=\"last_name\">Last name</label>"
                "<input id=\"last_name\" name=\"last_name\" value=\"%4\">"
                "<label for=\"organization\">Organisation</label>"
                "<input id=\"organization\" name=\"organization\" value=\"%5\">"
                "<button id=\"confirm\" type=\"submit\">Confirm log-in</button></form>")
                .arg(esc(code), esc(suggested.email), esc(suggested.firstName),
                     esc(suggested.lastName), esc(suggested.organization));
    return layout(QStringLiteral("Log in to Mireva"), body);
}

QString activationConfirmed(const User &user) {
    return layout(QStringLiteral("Log-in confirmed"),
                  QStringLiteral("<p id=\"confirmed\">Mireva is now logged in as %1 %2 (%3). "
                                 "You can close this page and return to the program.</p>")
                      .arg(esc(user.firstName), esc(user.lastName), esc(user.email)));
}

QString scan(const ScanRecord &scan, double mpp, double magnification, const QString &status) {
    QString facts = QStringLiteral("Saved %1").arg(esc(timeText(scan.createdAt)));
    if (mpp > 0)
        facts += QStringLiteral(" · %1 µm per pixel").arg(mpp);
    if (magnification > 0)
        facts += QStringLiteral(" · magnification %1×").arg(magnification);
    facts +=
        QStringLiteral(" · <a class=\"download\" id=\"package\" href=\"/scans/%1/package.zip\">"
                       "Download the package</a>")
            .arg(esc(scan.id));
    // The status goes into a JSON script block: with every "<" escaped no text can end it.
    QString data = status;
    data.replace(QLatin1Char('<'), QStringLiteral("\\u003c"));
    const QString body =
        QStringLiteral(
            "<p class=\"facts\">%1</p>"
            "<nav id=\"switcher\" aria-label=\"Parts and photos\"></nav>"
            "<section id=\"view\"></section>"
            "<p class=\"credits\">Deep-zoom viewer: <a href=\"/viewer/LICENSE-openseadragon.txt\">"
            "OpenSeadragon</a>.</p>"
            "<script type=\"application/json\" id=\"scan-data\">%2</script>"
            "<script src=\"/viewer/openseadragon.min.js\"></script>"
            "<script src=\"/viewer/viewer.js\"></script>")
            .arg(facts, data);
    return layout(scan.name, body,
                  QStringLiteral("<link rel=\"stylesheet\" href=\"/viewer/viewer.css\">"));
}

QString crashReports(const QList<CrashReport> &reports) {
    QString body;
    if (reports.isEmpty()) {
        body = QStringLiteral("<p>No crash reports yet.</p>");
    } else {
        body = QStringLiteral("<table><tr><th>Received</th><th>Project</th><th>Event</th>"
                              "<th>Items</th><th>Summary</th><th>Size</th></tr>");
        for (const CrashReport &report : reports) {
            body +=
                QStringLiteral("<tr class=\"crash-report\"><td>%1</td><td>%2</td><td><a "
                               "href=\"/crash-reports/%3\">%4</a></td><td>%5</td><td>%6</td>"
                               "<td>%7 bytes</td></tr>")
                    .arg(esc(timeText(report.receivedAt)), esc(report.project), esc(report.id),
                         esc(report.eventId.isEmpty() ? QStringLiteral("—") : report.eventId),
                         esc(report.itemTypes), esc(report.summary), QString::number(report.size));
        }
        body += QStringLiteral("</table>");
    }
    return layout(QStringLiteral("Crash reports"), body);
}

} // namespace tavrona::pages
