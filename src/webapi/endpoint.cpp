#include "endpoint.h"

Endpoint endpointOf(const QByteArray &path)
{
    if (path.contains("ajax.html"))
        return Endpoint::Ajax;
    if (path.contains("saveFile.html"))
        return Endpoint::SaveFile;
    if (path.contains("loadFile.html"))
        return Endpoint::LoadFile;
    return Endpoint::File;
}
