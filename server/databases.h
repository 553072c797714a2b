// The database step of start-up and the close at shutdown.
#pragma once

int OpenDatabases();
void CloseDatabases();

#include "common/db.h"

// The trip database's file name in TripFolder.
extern const char *const TripFileName;

// Opens a package file read-only from PackageFolder, else under its bare name relative
// to the working directory; null when neither opens.
DbHandle OpenPackage(const char *name);
