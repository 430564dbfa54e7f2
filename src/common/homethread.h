#ifndef HOMETHREAD_H
#define HOMETHREAD_H

#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <type_traits>
#include <vector>

// A thread for long-lived services, so that they outlive every connection
// that calls them: objects made here are built, used and deleted on it.
// Work reaches the thread through a queue under a standard mutex rather
// than through Qt's event queue alone, so that thread checkers see the
// caller's writes ordered before the work, and the work's before the
// caller's reads.
class HomeThread : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HomeThread)
public:
    explicit HomeThread(const QString &name, QObject *parent = nullptr);
    // Stops the thread, deleting what was made here.
    ~HomeThread() override;

    // Runs work on this thread, later.
    void post(std::function<void()> work);

    // Runs work on this thread and waits for its result. Never call it from
    // this thread itself.
    template<typename Work>
    auto call(Work work) -> decltype(work())
    {
        using Result = decltype(work());
        std::promise<Result> done;
        post([&] {
            if constexpr (std::is_void_v<Result>) {
                work();
                done.set_value();
            } else {
                done.set_value(work());
            }
        });
        return done.get_future().get();
    }

    // Builds a T from copies of the arguments on this thread; it is deleted
    // there when the thread stops.
    template<typename T, typename... Args>
    T *make(const Args &...args)
    {
        T *object = call([&] { return new T(args...); });
        made.push_back(object);
        return object;
    }

    // Deletes what was made here, newest first, then quits and waits.
    void stop();

protected:
    void run() override;

private:
    void drain();

    QObject *anchor; // lives on the thread; poked when work is queued
    std::mutex queueLock;
    std::deque<std::function<void()>> queue;
    std::vector<QObject *> made; // the owner's thread only
    // Stored last by run(), so that the teardown after wait() is ordered
    // after everything the thread did, also for thread checkers.
    std::atomic<bool> ended{false};
};

#endif // HOMETHREAD_H
