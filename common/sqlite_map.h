// The library's memory maps of database files, guarded against a file cut short under them.
//
// A page of a map that lies past the end of its file (the file was truncated, or rewritten
// shorter in place, from outside) raises SIGBUS when it is read, which would end the
// process. Every map the library makes is recorded, and such a fault on one of them puts
// a page of zeros in place of the missing one: the read goes on and sees zeros, which the
// library takes for a damaged page, and the fault is counted so that whoever read through
// a map can tell that what it read may not be the file's.
#pragma once

#include <cstdint>

// Records the library's maps from now on and takes the faults on them. Called once at
// program start, after the library is configured and before any connection opens.
void GuardLibraryMaps();

// True when the guard is in place, so that a connection may read its file through a map.
bool LibraryMapsGuarded();

// Faults on the library's maps taken so far in the whole process.
uint64_t LibraryMapFaults();
