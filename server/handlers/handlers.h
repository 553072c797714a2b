// The route handlers of the local server. Each is called on the connection's thread with
// the writer already reset and sends its own response.
#pragma once

#include <sqlite3.h>

#include "server/response.h"

// Web application files and map texts.
void KvtServe(SockBuf &w, sqlite3 *db, const char *key, const char *lang);
void HandleMapDataA(SockBuf &w, const char *rest, sqlite3 *db, const char *lang);
void ServeStaticFile(SockBuf &w, const char *rest);

// Chart tiles and gazetteer.
void HandleGetTile(SockBuf &w, const char *rest);
void HandleGetTileI(SockBuf &w, const char *rest);
void HandleGazetteer(SockBuf &w, const char *rest);

// Host state and track.
void HandleHostStat(SockBuf &w, const char *body, const char *rest, int bodyLen);

// Settings and state. KvtPut returns 0 on success (it may set an error status text) and
// sends nothing; HandleSetValue stores with it and answers.
int KvtPut(sqlite3 *db, SockBuf &w, const char *key, const char *value, int valueLen, int t);
void HandleSetValue(SockBuf &w, const char *key, const char *body, int bodyLen);
void HandleGetSetState(SockBuf &w, char *rest);

// SQL passthrough, on the page's own connection to the trip database or to the open
// chart package.
enum class PageDatabase { Trip, Chart };
void HandleExecSql(SockBuf &w, PageDatabase db, const char *sql);

// Request token and package checksum.
void HandleGetAuth(SockBuf &w, const char *text);
void HandleCrc32(SockBuf &w, const char *rest);

// Package download: start, poll or cancel, then the progress object.
void HandleDownload(SockBuf &w, const char *rest);

// Version and locale of the program.
extern const char *const HostVersionText;
void HandleHostVersion(SockBuf &w);

// Navigation: NMEA-over-TCP control and the AIS poll.
void HandleNemaSock(SockBuf &w, char *rest);
void HandleAisData(SockBuf &w);
