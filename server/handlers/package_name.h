// Package files named by the page are bare file names in the data folder.
#pragma once

// True for a name that may be opened, checked or deleted as a package: not empty, no
// folder separator, not "." or "..", and not the trip database.
bool IsPackageFileName(const char *name);
