// Small requests over Qt's HTTP connections without the delayed-acknowledgement stall.
#pragma once

namespace zavra {

// Qt writes a request's header and body as two writes and gives no access to its sockets: with
// Nagle's rule the body then waits for the server's delayed acknowledgement of the header. Turns
// the rule off for this process's connected TCP sockets whose peer port is `port`. The first
// request on a new connection is acknowledged at once by the server anyway; this is for the
// requests after it on the kept-alive connection. Does nothing where sockets cannot be listed.
void setLowDelayToPort(int port);

} // namespace zavra
