// The process locale: the user's, except that numbers always use the C convention.
#pragma once

// Takes the user's locale from the environment (LC_ALL, LC_*, LANG) for everything but
// LC_NUMERIC, which stays "C": the server's, the logger's and the database's numbers are
// formatted and read with a decimal point whatever the desktop's language. Call once on
// the UI thread, before any other thread starts; GTK must then be kept from setting the
// locale again (gtk_disable_setlocale).
void TakeUserLocale();
