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
// receive of a protocol reply by the server's time-out (tmnet_session_begin).
// A client silent that long is gone: the process ends with kRemoteGoneExit
// after one line naming it. The wait for the key that ends a show is the
// user's and has no bound (tmnet_wait_user): the connection's keepalive
// finds a peer that vanished there. A connection that closes or breaks is
// broken, as at any other time: the same line, and kTmnetLostExit. SIGINT
// and SIGTERM end the process at once with kTmnetLostExit, in a wait or at
// the yield point.
//
// Client: the character client in its session (tmnet_client_begin) waits
// for its server without a bound (the server may work for long, pinging
// it), but SIGINT or SIGTERM end that wait: the terminal put back, one
// line naming the server, and the process ends with 128 + the signal. A server
// that ends without FINISH ends the client with one line and
// kTmnetLostExit.
//
// Request: a data link's exchange (tmnet_request_begin) waits at most
// KIVO_NET_REQUEST_TIMEOUT seconds for its answer; the caller names the
// failure.
//
// Callers: the remote-terminal server and client, the data server and its
// client, the test listener; readn and writen ask here how long to wait
// and what a signal or an expiry means.
#pragma once

#include <chrono>
#include <csignal>
#include <cstddef>

namespace kivo {

constexpr int kHandshakeSecondsDefault = 30;

// "host port N" of the peer of `sock` (or "the peer on descriptor N") into
// `out` of `n` bytes.
void tmnet_peer_text(int sock, char* out, size_t n);

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

// The character client's session with the server at `host` port `port`
// on `sock`: its waits for the server end at SIGINT and SIGTERM, and its
// end without FINISH is named. `finish` puts the local terminal back.
void tmnet_client_begin(int sock, const char* host, const char* port, void (*finish)());
// Ends it; the signal handlers the process had come back.
void tmnet_client_end();
bool tmnet_client_on();
// The server is gone (`why`: what showed it): the terminal put back, one
// line "the session with HOST port N ended: WHY", and the process ends
// with kTmnetLostExit.
void tmnet_client_gone(const char* why);

// A data link's exchange on `sock` starts: its receives end together at
// `seconds` from now. Nested calls keep the first.
void tmnet_request_begin(int sock, int seconds);
void tmnet_request_end();
// KIVO_NET_REQUEST_TIMEOUT when it is a number of 1 or more, else
// kRequestSecondsDefault.
constexpr int kRequestSecondsDefault = 120;
int tmnet_request_seconds();

// What bounds a wait on `sock` that starts now: the caller's `timeout`
// (seconds, -1 none), the handshake's deadline, a data link's request or,
// on the session's own socket, the session's bound, whichever ends first.
// (A data link that a server opens in its session waits as a data link
// does.) A wait of BOUND_WATCHED has no deadline but is watched for the
// signals that end it.
enum tmnet_bound_kind { BOUND_NONE, BOUND_CALLER, BOUND_HANDSHAKE, BOUND_SESSION, BOUND_REQUEST, BOUND_WATCHED };
struct tmnet_bound {
  tmnet_bound_kind kind = BOUND_NONE;
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};
tmnet_bound tmnet_bound_for(int sock, int timeout);

// One wait of kind `kind`: for a watched wait, this side's handlers are in
// place for its length even where the local terminal put in its own (a
// look-up at the server during the client's show), then what was there
// comes back.
class tmnet_wait_scope {
 public:
  explicit tmnet_wait_scope(tmnet_bound_kind kind);
  ~tmnet_wait_scope();
  tmnet_wait_scope(const tmnet_wait_scope&) = delete;
  tmnet_wait_scope& operator=(const tmnet_wait_scope&) = delete;

 private:
  bool swapped_ = false;
  struct sigaction saved_[2];
};

// The server's wait for the user's key at a show: until `sock` has data (or
// has closed or broken), however long the user takes; a signal that ends
// the session ends the process here.
void tmnet_wait_user(int sock);

// For readn and writen: a wait was interrupted or is about to start; a
// recorded signal ends the process as the phase says.
void tmnet_wait_signals();
// The bound of kind `kind` passed: the handshake's line, or the session's
// end of the process; a caller's own time-out means nothing here.
void tmnet_wait_expired(tmnet_bound_kind kind);

// The end of a connection in words, from what the last receive or send
// returned: "`who` closed the connection" (err 0), or "the connection
// broke (WHY)".
const char* tmnet_end_words(int err, const char* who);

}  // namespace kivo
