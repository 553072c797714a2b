// The route handlers of the local server. Each is called on the connection's thread with
// the writer already reset; "sends" handlers call SendResponse themselves, the others only
// fill the writer and the route sends (see server/routes.cpp).
#pragma once

#include <sqlite3.h>

#include "server/response.h"

// Web application files and map texts.
void KvtServe(SockBuf &w, sqlite3 *db, const char *key, const char *lang);          // sends
void HandleMapDataA(SockBuf &w, const char *rest, sqlite3 *db, const char *lang);   // sends
void ServeStaticFile(SockBuf &w, const char *rest);                                 // sends

// Chart tiles and gazetteer.
void HandleGetTile(SockBuf &w, const char *rest);   // sends
void HandleGetTileI(SockBuf &w, const char *rest);  // sends
void HandleGazetteer(SockBuf &w, const char *rest); // sends

// Host state and track.
void HandleHostStat(SockBuf &w, const char *body, const char *rest, int bodyLen);  // sends

// Settings and state. KvtPut returns 0 on success (it may set an error status text).
int KvtPut(sqlite3 *db, SockBuf &w, const char *key, const char *value, int valueLen, int t);
void HandleGetSetState(SockBuf &w, char *rest);  // sends

// SQL passthrough.
void HandleExecSql(SockBuf &w, sqlite3 *db, const char *sql);  // sends

// Request token and package checksum.
void HandleGetAuth(SockBuf &w, const char *text);  // sends
void HandleCrc32(SockBuf &w, const char *rest);    // sends

// Package download: start, poll or cancel, then the progress object (route sends).
void HandleDownload(SockBuf &w, const char *rest);
