// Where requests may go: https to any host, plain http only to this machine (tests, the demo).
#pragma once

class QString;
class QUrl;

namespace netrule {

// "localhost" (any case), 127.0.0.0/8 or ::1.
bool isLoopbackHost(const QString &host);

// https to any host; http to a loopback host; nothing else (another scheme, no host, invalid).
bool permittedUrl(const QUrl &url);

} // namespace netrule
