// The database step of start-up and the close at shutdown.
#pragma once

int OpenDatabases();
void CloseDatabases();
