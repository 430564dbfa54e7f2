#include "homethread.h"

HomeThread::HomeThread(const QString &name, QObject *parent) : QThread(parent), anchor(new QObject)
{
    setObjectName(name);
    anchor->moveToThread(this);
    deleteOnStop(anchor);
    start();
}

HomeThread::~HomeThread()
{
    stop();
}

void HomeThread::stop()
{
    quit();
    wait();
}

void HomeThread::runHere(const std::function<void()> &work)
{
    QMetaObject::invokeMethod(anchor, work, Qt::BlockingQueuedConnection);
}

void HomeThread::deleteOnStop(QObject *object)
{
    // finished is emitted on the thread, whose last act is to run the
    // deletions posted then.
    connect(this, &QThread::finished, object, &QObject::deleteLater, Qt::DirectConnection);
}
