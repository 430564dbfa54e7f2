#ifndef HOMETHREAD_H
#define HOMETHREAD_H

#include <QThread>

#include <functional>

// A thread for long-lived services, so that they outlive every connection
// that calls them: objects made here are built, run and deleted on it. The
// callers reach them through queued or blocking queued calls.
class HomeThread : public QThread
{
    Q_OBJECT
    Q_DISABLE_COPY(HomeThread)
public:
    explicit HomeThread(const QString &name, QObject *parent = nullptr);
    // Stops the thread, deleting what was made here.
    ~HomeThread() override;

    // Builds a T from copies of the arguments on this thread and waits for
    // it. Never call from this thread itself.
    template<typename T, typename... Args>
    T *make(const Args &...args)
    {
        T *object = nullptr;
        runHere([&] { object = new T(args...); });
        deleteOnStop(object);
        return object;
    }

    // Quits and waits; the objects made here are gone when it returns.
    void stop();

private:
    void runHere(const std::function<void()> &work);
    void deleteOnStop(QObject *object);

    QObject *anchor; // lives on the thread; blocking calls run in its name
};

#endif // HOMETHREAD_H
