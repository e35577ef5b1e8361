// The bound on every wait for a peer during a handshake and a LOGIN: from
// tmnet_handshake_begin to tmnet_handshake_end each receive ends at one
// deadline (KIVO_NET_HANDSHAKE_TIMEOUT seconds, 30 unless set), and SIGINT
// or SIGTERM end the wait at once.
//
// At the deadline the receive fails with TMNET_TIMEOUT after one line on the
// standard error stream naming the peer (the terminal put back first); the
// caller then ends as for a connection that failed. A signal puts the
// terminal back and ends the process by that signal.
// Callers: the remote-terminal server and client, the data server and its
// client, the test listener.
#pragma once

#include <chrono>

namespace kivo {

constexpr int kHandshakeSecondsDefault = 30;

// The bound in seconds: KIVO_NET_HANDSHAKE_TIMEOUT when it is a number of 1
// or more, else kHandshakeSecondsDefault.
int tmnet_handshake_seconds();

// Starts the bound for the exchange on `sock` (nested calls keep the first).
void tmnet_handshake_begin(int sock);
// Ends it: the signal handlers the process had come back.
void tmnet_handshake_end();

// For readn: whether a handshake is under way, and its deadline.
bool tmnet_handshake_active(std::chrono::steady_clock::time_point* deadline);
// For readn: the wait ended early; true when that was a signal (which then
// ends the process) or the deadline (reported; the receive fails).
void tmnet_handshake_interrupted();
void tmnet_handshake_timed_out();

}  // namespace kivo
