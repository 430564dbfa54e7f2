#include "endpoint.h"

Endpoint endpointOf(const QByteArray &path)
{
    if (path.contains("ajax.html"))
        return Endpoint::Ajax;
    if (path.contains("saveFile.html"))
        return Endpoint::SaveFile;
    if (path.contains("loadFile.html"))
        return Endpoint::LoadFile;
    if (path.contains("events.html"))
        return Endpoint::Events;
    return Endpoint::File;
}
