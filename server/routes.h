// The route tables of the local server.
#pragma once

#include "server/response.h"

// Walks the GET table with the decoded path (which the "/nemasock/" route tokenises in place).
void RouteGet(SockBuf &w, char *path);
// Walks the POST table with the decoded path and the NUL-terminated body.
void RoutePost(SockBuf &w, char *path, const char *body, int bodyLen);
