// Package files named by the page: which names may be used, and where a name is looked for.
#pragma once

#include <array>
#include <string>

// True for a name that may be opened, checked or deleted as a package: not empty, no
// folder separator, not "." or "..", and not the trip database.
bool IsPackageFileName(const char *name);

// The places a package name stands for, in the order they are tried: the file in the
// data folder, then the bare name (relative to the working directory).
std::array<std::string, 2> PackagePlaces(const char *name);
