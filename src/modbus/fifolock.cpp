#include "fifolock.h"

void FifoLock::lock()
{
    std::unique_lock<std::mutex> locker(mutex);
    const std::uint64_t ticket = nextTicket++;
    turn.wait(locker, [&] { return serving == ticket; });
}

void FifoLock::unlock()
{
    {
        std::lock_guard<std::mutex> locker(mutex);
        ++serving;
    }
    turn.notify_all();
}
