#pragma once
// A port on loopback that is bound but never listened on: nothing can answer
// there, so a connection to it is refused at once.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace velkin::test {

struct DeadPort {
    DeadPort() {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no loopback port to leave unanswered");
        port = ntohs(address.sin_port);
    }
    ~DeadPort() { close(fd); }
    DeadPort(const DeadPort&) = delete;
    DeadPort& operator=(const DeadPort&) = delete;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
};

}  // namespace velkin::test
