#ifndef HTTPCONNECTIONHANDLER_H
#define HTTPCONNECTIONHANDLER_H

#include <QThread>
#include <QtGlobal>

// The native socket handle that travels from the listener to a handler thread.
typedef qintptr tSocketDescriptor;

// handler thread class declared here by the server's own code
#endif // HTTPCONNECTIONHANDLER_H
