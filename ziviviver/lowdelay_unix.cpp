#include "lowdelay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace zavra {

void setLowDelayToPort(int port)
{
    if (port <= 0 || port > 65535)
        return;
    std::vector<int> fds;
    if (DIR *dir = opendir("/dev/fd")) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
                fds.push_back(std::atoi(entry->d_name));
        }
        closedir(dir);
    } else {
        const long limit = std::min(sysconf(_SC_OPEN_MAX), 4096L);
        for (int fd = 0; fd < limit; ++fd)
            fds.push_back(fd);
    }
    for (const int fd : fds) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
            continue;
        sockaddr_storage peer{};
        length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue;
        int peerPort = -1;
        if (peer.ss_family == AF_INET)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port);
        else if (peer.ss_family == AF_INET6)
            peerPort = ntohs(reinterpret_cast<const sockaddr_in6 &>(peer).sin6_port);
        if (peerPort != port)
            continue;
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

} // namespace zavra
