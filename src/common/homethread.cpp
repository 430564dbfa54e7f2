#include "homethread.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

// Runs the thread's queue each time it is poked; a plain event carries no
// data of ours across.
class Anchor : public QObject
{
public:
    explicit Anchor(std::function<void()> onPoke) : onPoke(std::move(onPoke)) {}
    bool event(QEvent *event) override
    {
        if (event->type() != QEvent::User)
            return QObject::event(event);
        onPoke();
        return true;
    }

private:
    const std::function<void()> onPoke;
};

} // namespace

HomeThread::HomeThread(const QString &name, QObject *parent) : QThread(parent), anchor(new Anchor([this] { drain(); }))
{
    setObjectName(name);
    anchor->moveToThread(this);
    start();
}

HomeThread::~HomeThread()
{
    stop();
    delete anchor;
}

void HomeThread::post(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> locker(queueLock);
        queue.push_back(std::move(work));
    }
    QCoreApplication::postEvent(anchor, new QEvent(QEvent::User));
}

void HomeThread::drain()
{
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> locker(queueLock);
            if (queue.empty())
                return;
            work = std::move(queue.front());
            queue.pop_front();
        }
        work();
    }
}

void HomeThread::stop()
{
    if (isRunning() && !made.empty()) {
        call([this] {
            while (!made.empty()) {
                delete made.back();
                made.pop_back();
            }
        });
    }
    quit();
    wait();
    static_cast<void>(ended.load(std::memory_order_acquire));
}

void HomeThread::run()
{
    exec();
    ended.store(true, std::memory_order_release);
}
