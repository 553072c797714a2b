// What "marolin --help" and "marolin --version" print.
#pragma once

#include <cstdio>

// The usage: what the program is, its command-line forms, the environment it reads, its
// files as this environment resolves them, and where to read more.
void PrintUsage(FILE *out);
// "Marolin <version>", the version "/hostversion/" reports.
void PrintVersion(FILE *out);
