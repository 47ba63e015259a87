// The HTTP(S) side of the reference herd registry.
#pragma once

#include <QString>

namespace registry {

struct ServeOptions
{
    QString db;
    int port = 0; // 0: any free port
    QString bind = "127.0.0.1";
    QString tlsCert;
    QString tlsKey;
    int delayMs = 0;       // every answer waits this long first
    bool announce = false; // "received <method> <path>" on stdout as each request arrives
    QString hold;          // requests to this path are answered only after a line on stdin
    QString fault;         // "", "500", "html" or "truncated": how the API routes misbehave
    // After this many refused logins in a row for one user from one address, further attempts
    // are refused for loginPauseMs, doubled with every further refusal (at most 15 minutes).
    int loginFailures = 5;
    int loginPauseMs = 2000;
    bool hasUpdateReply = false;
    QString updateReply;
    QString updateDir;
};

// Serves until SIGTERM or SIGINT; prints "listening on <port>" once bound. Returns the exit code.
int serve(const ServeOptions &options);

} // namespace registry
