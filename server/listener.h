// The local HTTP/1.1 server: listener and per-connection request loop.
#pragma once

int ListenerThread();
void ConnectionThread(int sock);
// Starts ListenerThread as a detached thread.
void StartListener();
