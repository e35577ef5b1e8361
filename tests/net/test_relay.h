// A relay between data-server clients and their listener on 127.0.0.1, for
// the tests that need the network between them to fail: it passes every
// byte on until told to go silent, or until a client sends the trigger it
// was given; then it goes silent or cuts that connection, as its action
// says.
#pragma once

#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../screen/term_harness.h"
#include "net_test_util.h"

namespace kivo::test {

// Stalled, the relay reads, writes and accepts nothing, as a stopped relay
// process or a network gone silent; what the client sent stays waiting.
// Resumed, it passes on what waited, then the end of a client that left
// meanwhile. A cut closes both ends of the client's connection at once, as
// the server's death there would.
class tcp_relay {
 public:
  enum action { STALL, CUT };  // what the trigger does
  explicit tcp_relay(const std::string& to, action act = STALL) : to_(to), act_(act) {
    if (pipe(wake_) == 0) thread_ = std::thread([this] { run(); });
  }
  ~tcp_relay() {
    quit_ = true;
    poke();
    if (thread_.joinable()) thread_.join();
    close(wake_[0]), close(wake_[1]);
  }
  // Returns once the relay is silent.
  void stall() {
    want_stall_ = true;
    poke();
    kivo_test::wait_until([&] { return stalled_.load(); }, kivo_test::kScreenWait);
  }
  void resume() {
    want_stall_ = false;
    poke();
  }
  // Acts, once, as a client sends `trigger` followed closely by `mark`
  // (empty `trigger`: never). Only bytes sent from now on count, so that a
  // trigger sent before is not taken for this one.
  void act_at(const std::string& trigger, const std::string& mark = "") {
    std::lock_guard<std::mutex> hold(mutex_);
    trigger_ = trigger, mark_ = mark;
  }
  bool stalled() const { return stalled_; }
  bool cut() const { return cut_; }
  const std::string& port() const { return front_.port; }

 private:
  struct pair {
    int client, server;
    std::string seen;  // the client's last bytes, for a trigger cut across two reads
    std::string held;  // what the client sent as the relay stalled
  };
  static constexpr size_t kSeen = 512;  // a client's last bytes searched for the trigger
  static constexpr size_t kNear = 96;   // the mark lies this close behind it
  // Whether `seen`, whose last `fresh` bytes just came, holds the trigger
  // and its mark ending in them.
  bool triggered(const std::string& seen, size_t fresh) const {
    if (trigger_.empty()) return false;
    for (size_t at = seen.find(trigger_); at != std::string::npos; at = seen.find(trigger_, at + 1)) {
      size_t end = at + trigger_.size();
      if (!mark_.empty()) {
        const size_t m = seen.substr(at, kNear).find(mark_);
        if (m == std::string::npos) continue;
        end = at + m + mark_.size();
      }
      if (end > seen.size() - fresh) return true;
    }
    return false;
  }
  void poke() {
    if (write(wake_[1], "x", 1) != 1) {}
  }
  void run() {
    std::vector<pair> pairs;
    while (!quit_) {
      stalled_ = want_stall_.load();
      std::vector<pollfd> p{{wake_[0], POLLIN, 0}};
      if (!stalled_) {
        p.push_back({front_.fd, POLLIN, 0});
        for (const pair& c : pairs) p.push_back({c.client, POLLIN, 0}), p.push_back({c.server, POLLIN, 0});
      }
      if (poll(p.data(), p.size(), -1) < 0) continue;
      if (p[0].revents) {
        char b[64];
        if (read(wake_[0], b, sizeof b) < 0) {}
        continue;
      }
      std::vector<pair> open;
      for (size_t i = 0; i < pairs.size(); ++i) {
        if (pass(pairs[i], p[2 + 2 * i].revents, p[3 + 2 * i].revents)) open.push_back(pairs[i]);
        else close(pairs[i].client), close(pairs[i].server);
      }
      if (p[1].revents) {
        // What each side sends goes on at once, as the engine's own ends send it.
        const int client = accept(front_.fd, nullptr, nullptr), on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        open.push_back({client, tmnet_cli_conn_to_host("127.0.0.1", to_.c_str()), "", ""});
      }
      pairs.swap(open);
    }
    for (const pair& c : pairs) close(c.client), close(c.server);
  }
  // Passes what came on either side; false when the connection ends here.
  bool pass(pair& c, short from_client, short from_server) {
    char b[4096];
    if (!c.held.empty()) {
      if (write(c.server, c.held.data(), c.held.size()) != ssize_t(c.held.size())) return false;
      c.held.clear();
    }
    if (from_server) {
      const ssize_t n = read(c.server, b, sizeof b);
      if (n <= 0 || write(c.client, b, size_t(n)) != n) return false;
    }
    if (!from_client) return true;
    const ssize_t n = read(c.client, b, sizeof b);
    if (n <= 0) return false;
    std::lock_guard<std::mutex> hold(mutex_);
    c.seen = c.seen.substr(c.seen.size() > kSeen ? c.seen.size() - kSeen : 0) + std::string(b, size_t(n));
    if (triggered(c.seen, size_t(n))) {
      trigger_.clear();
      if (act_ == CUT) {
        cut_ = true;
        return false;
      }
      want_stall_ = true;
      c.held.assign(b, size_t(n));
      return true;
    }
    return write(c.server, b, size_t(n)) == n;
  }
  acceptor front_;
  std::string to_, trigger_, mark_;  // the trigger and mark under mutex_
  action act_;
  std::mutex mutex_;
  std::atomic<bool> want_stall_{false}, stalled_{false}, cut_{false}, quit_{false};
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace kivo::test
