// Where requests may go: https to any host, plain http only to this machine (tests, the demo).
#pragma once

#include <QNetworkRequest>

class QString;
class QUrl;

namespace netrule {

// "localhost" (any case), 127.0.0.0/8 or ::1.
bool isLoopbackHost(const QString &host);

// https to any host; http to a loopback host; nothing else (another scheme, no host, invalid).
bool permittedUrl(const QUrl &url);

// A GET of a file as sent: the peer's certificate verified, each redirect left to the caller to
// allow, the transfer ended after `timeoutMs` without progress, no content encoding.
QNetworkRequest fileRequest(const QUrl &url, int timeoutMs);

} // namespace netrule
