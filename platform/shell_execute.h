// Opening a document or address with the user's default program, as the shell's "open"
// verb does: the desktop's default handler for the address (GIO, as xdg-open).
#pragma once

constexpr int SW_SHOWNORMAL = 1;

// Starts the default handler for file (an absolute URI) and returns at once. owner,
// parameters, directory and show are not used. Returns a value above 32 when a launch
// was started, SE_ERR_NOASSOC (31) for a verb other than "open" or an empty address.
// Whether the handler then runs is not reported.
constexpr int SE_ERR_NOASSOC = 31;
long ShellExecuteA(void *owner, const char *verb, const char *file, const char *parameters, const char *directory,
                   int show);
