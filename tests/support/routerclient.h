#ifndef ROUTERCLIENT_H
#define ROUTERCLIENT_H

// The test HTTP client lives in httpclient.h; this name stays for the tests that include it.
#include "httpclient.h"

#endif // ROUTERCLIENT_H
