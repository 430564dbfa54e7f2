#ifndef FIFOLOCK_H
#define FIFOLOCK_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A mutex handed out in the order it was asked for (a ticket lock). A thread
// that unlocks and locks again queues behind everyone already waiting, so a
// poller that loops over transfers cannot starve a caller between them.
class FifoLock
{
public:
    FifoLock() = default;
    FifoLock(const FifoLock &) = delete;
    FifoLock &operator=(const FifoLock &) = delete;

    void lock();
    void unlock();

private:
    std::mutex mutex;
    std::condition_variable turn;
    std::uint64_t nextTicket = 0;
    std::uint64_t serving = 0;
};

#endif // FIFOLOCK_H
