// The local HTTP/1.1 server: listener and per-connection request loop.
#pragma once

#include <string>

int ListenerThread();
void ConnectionThread(int sock);
// Starts ListenerThread as a detached thread.
void StartListener();

// How far the listener has got: not yet tried, bound and listening on the configured
// address, or its last bind failed (it tries again once a second). The window loads the
// start page only from this process's own listener.
enum class ListenState { Starting, Listening, Failed };
struct ListenerStatus {
  ListenState state;
  std::string failure;  // for Failed: the line written to standard error, without its line end
};
ListenerStatus GetListenerStatus();
// Called on the listener's thread after every change of the status. A plain function, so
// that a call that comes late never reaches a destroyed object.
void SetListenerObserver(void (*observer)());
