// For test servers only: no part of the service calls this. A test that must
// see a slow client dropped shortens the request limit here instead of
// waiting out kRequestTimeMs. Only shortening is taken (0 < ms <
// kRequestTimeMs); talvex-server never calls it, so an installed server
// always has the full limit, whatever its environment or command line.
#pragma once

namespace talvex {

void ShortenRequestTimeForTests(int ms);

}  // namespace talvex
