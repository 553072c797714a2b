// The database step of start-up and the close at shutdown.
#pragma once

int OpenDatabases();
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

// Settings that keep the page's SQL inside the connection's own files: no extension
// loading, defensive mode (no writable schema and the like).
void LimitPageReach(sqlite3 *db);

// Opens a package file read-only from PackageFolder, else under its bare name relative
// to the working directory; null when neither opens.
DbHandle OpenPackage(const char *name);
