// The bounds on every wait for a peer, and SIGINT and SIGTERM during one.
//
// Handshake: from tmnet_handshake_begin to tmnet_handshake_end each receive
// ends at one deadline (KIVO_NET_HANDSHAKE_TIMEOUT seconds, 30 unless set).
// At the deadline the receive fails with TMNET_TIMEOUT, after one line on
// the standard error stream naming the peer unless the caller names the
// failure itself; SIGINT or SIGTERM put the terminal back and end the
// process by that signal.
//
// Session: a remote-terminal server whose client has attached bounds every
// receive by the server's time-out (tmnet_session_begin). A client silent
// that long is gone: the process ends with kRemoteGoneExit after one line
// naming it. A connection that closes is broken, as at any other time: the
// same line, and kTmnetLostExit. SIGINT and SIGTERM end the process at once
// with kTmnetLostExit, in a wait or at the yield point.
//
// Callers: the remote-terminal server and client, the data server and its
// client, the test listener; readn and writen ask here how long to wait
// and what a signal or an expiry means.
#pragma once

#include <chrono>

namespace kivo {

constexpr int kHandshakeSecondsDefault = 30;

// The handshake's bound in seconds: KIVO_NET_HANDSHAKE_TIMEOUT when it is a
// number of 1 or more, else kHandshakeSecondsDefault.
int tmnet_handshake_seconds();

// Starts the bound for the exchange on `sock` (nested calls keep the first).
// With `report` false the caller names a failure itself: no line at expiry.
void tmnet_handshake_begin(int sock, bool report = true);
// Ends it; the signal handlers the process had come back.
void tmnet_handshake_end();

// Starts the session's bound of `seconds` on every receive from `sock`.
void tmnet_session_begin(int sock, int seconds);
// Ends it (tests); the signal handlers the process had come back.
void tmnet_session_end();
bool tmnet_session_on();
// A SIGINT or SIGTERM recorded during the session ends the process with
// kTmnetLostExit; nothing else happens. The yield point calls it.
void tmnet_session_act();
// The client is gone (`why`: what showed it): one line on the standard
// error stream, then the process ends with `status` (kRemoteGoneExit for a
// silent client, kTmnetLostExit for a broken connection).
void tmnet_session_gone(const char* why, int status);

// What bounds a wait on `sock` that starts now: the caller's `timeout`
// (seconds, -1 none), the handshake's deadline or, on the session's own
// socket, the session's bound, whichever ends first. (A data link that a
// server opens in its session waits as a data link does.)
enum tmnet_bound_kind { BOUND_NONE, BOUND_CALLER, BOUND_HANDSHAKE, BOUND_SESSION };
struct tmnet_bound {
  tmnet_bound_kind kind = BOUND_NONE;
  std::chrono::steady_clock::time_point deadline;
};
tmnet_bound tmnet_bound_for(int sock, int timeout);

// For readn and writen: a wait was interrupted or is about to start; a
// recorded signal ends the process as the phase says.
void tmnet_wait_signals();
// The bound of kind `kind` passed: the handshake's line, or the session's
// end of the process; a caller's own time-out means nothing here.
void tmnet_wait_expired(tmnet_bound_kind kind);

}  // namespace kivo
