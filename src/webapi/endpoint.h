#ifndef ENDPOINT_H
#define ENDPOINT_H

#include <QByteArray>

// What a request path asks for. The first of the names found anywhere in the
// path decides, in this order, so /x/ajax.html.old is an AJAX call too.
enum class Endpoint { Ajax, SaveFile, LoadFile, Events, File };

Endpoint endpointOf(const QByteArray &path);

#endif // ENDPOINT_H
