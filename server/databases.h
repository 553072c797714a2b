// The database step of start-up and the close at shutdown.
#pragma once

// Opens the web-application package and the trip database (creating its schema), resets
// the position state and starts the listener.
int OpenDatabases();
// Marks the server stopped and closes the trip, web-application and chart connections;
// requests in flight keep their own references. At shutdown, and before a listener restart.
void CloseDatabases();

#include "common/db.h"

// The trip database's file name in TripFolder.
extern const char *const TripFileName;

// True for a regular file that begins with the SQLite header. Never blocks on a FIFO and
// never opens a device.
bool IsSqliteFile(const char *path);

// Opens one package file read-only: only a regular SQLite file whose schema can be read;
// null otherwise.
DbHandle OpenPackageFile(const char *path);

// Opens a package file read-only from the first of its places (PackagePlaces) that
// holds one; null when neither does.
DbHandle OpenPackage(const char *name);
