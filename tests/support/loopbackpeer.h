#ifndef LOOPBACKPEER_H
#define LOOPBACKPEER_H

#include <atomic>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QtGlobal>

// A scripted TCP peer on 127.0.0.1: it listens on a port the system picks,
// and serve() runs on a thread of its own. Plain sockets, so the peer can
// misbehave in ways a Qt socket would smooth over. A subclass starts its
// thread in its constructor and calls finish() in its destructor, before
// the members serve() uses go away.
class LoopbackPeer
{
public:
    LoopbackPeer()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(listenFd, 4) == 0
            && ::getsockname(listenFd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
    }
    virtual ~LoopbackPeer()
    {
        finish();
        ::close(listenFd);
    }
    LoopbackPeer(const LoopbackPeer &) = delete;
    LoopbackPeer &operator=(const LoopbackPeer &) = delete;

    quint16 port = 0;

protected:
    void start(std::function<void()> serve) { worker = std::thread(std::move(serve)); }
    void finish()
    {
        stop = true;
        if (worker.joinable())
            worker.join();
    }
    // False once the peer is told to stop.
    bool waitReadable(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop) {
            if (::poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }

    int listenFd = -1;
    std::atomic<bool> stop{false};

private:
    std::thread worker;
};

#endif // LOOPBACKPEER_H
