// Stopping a key's background threads. Every wait of these threads ends
// when its stop event is set, and every blocking socket call of theirs
// ends when the key's sockets are shut down, so stopping is prompt.
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

// Aborting again while waiting covers a connect that began just after
// the previous abort.
constexpr int64_t kAbortRepeatMs = 100;

void JoinAborting(MxConnection& connection, platform::Thread& thread) {
  KeyControl& control = connection.control;
  while (!thread.Join(kAbortRepeatMs)) {
    AbortLink(control.primaryLink, connection.primarySocket);
    AbortLink(control.alternateLink, connection.alternateSocket);
  }
}

}  // namespace

void StopReconnectThreads(MxConnection& connection) {
  KeyControl& control = connection.control;
  control.reconnectStop.Set();
  if (!control.primaryReconnect.Started() && !control.alternateReconnect.Started()) return;
  AbortLink(control.primaryLink, connection.primarySocket);
  AbortLink(control.alternateLink, connection.alternateSocket);
  JoinAborting(connection, control.primaryReconnect);
  JoinAborting(connection, control.alternateReconnect);
}

void StopKeyThreads(MxConnection& connection) {
  KeyControl& control = connection.control;
  connection.threadsRun = 0;
  StopReconnectThreads(connection);
  control.queueStop.Set();
  control.queueWake.Set();
  control.heartBeatStop.Set();
  // A frame on its way out is cut short by the aborted links.
  AbortLink(control.primaryLink, connection.primarySocket);
  AbortLink(control.alternateLink, connection.alternateSocket);
  JoinAborting(connection, control.queueThread);
  JoinAborting(connection, control.heartBeatThread);
}

}  // namespace histfeed::universal
