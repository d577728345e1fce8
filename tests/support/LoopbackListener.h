#pragma once
// A TCP socket listening on 127.0.0.1 at a port the system picks, for the
// test servers. Any thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Quillet::Testing {

// The listening socket, with its port in `port` (0 when it failed).
inline int ListenOnLoopback(int& port)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    port = 0;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(listener, 8) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    return listener;
}

} // namespace Quillet::Testing
