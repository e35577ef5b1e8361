// A data server as a user meets it: the test listener starting data servers
// on a copy of the installation, a relay in front of it that can go silent
// or cut a connection, and the engine under tmux whose files are that
// server's, with the request, handshake and keepalive bounds small; and the
// demo's CUSTOMER ENTRY driven through its keys.
#pragma once

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "net_session.h"
#include "test_relay.h"

namespace kivo::test {

constexpr int kBound = 2;  // seconds: the request, handshake and keepalive bounds
inline const std::string kBoundText = std::to_string(kBound);

// The server installation, its listener and a relay in front of it.
struct data_server {
  installation in;
  std::unique_ptr<listener> lsn;
  std::unique_ptr<tcp_relay> relay;
  explicit data_server(const std::string& trigger = "", tcp_relay::action act = tcp_relay::STALL) {
    std::vector<std::string> cmd{"/usr/bin/env"};
    for (const auto& [k, v] : in.env()) cmd.push_back(k + "=" + v);
    cmd.push_back(KIVO_BINARY);
    lsn = std::make_unique<listener>(false, cmd, nullptr);
    relay = std::make_unique<tcp_relay>(lsn->port, act);
    relay->act_at(trigger);
  }
  // The data servers the listener runs now.
  std::vector<pid_t> sessions() const {
    std::ifstream f("/proc/" + std::to_string(lsn->pid) + "/task/" + std::to_string(lsn->pid) + "/children");
    std::vector<pid_t> out;
    for (pid_t p; f >> p;) out.push_back(p);
    return out;
  }
  bool runs(pid_t p) const {
    const std::vector<pid_t> s = sessions();
    return std::find(s.begin(), s.end(), p) != s.end();
  }
};

// An engine under tmux whose files are those of the data server at `port`,
// with the bounds small.
inline std::unique_ptr<tmux_pane> data_client(const installation& here, const std::string& port, env_list more = {},
                                              const std::string& args = "-d=DEM") {
  env_list env = kivo_test::engine_env(here.dir.path);
  env.insert(env.end(), {{"KIVO_DATA_SERVER", "127.0.0.1:" + port},
                         {"KIVO_NET_REQUEST_TIMEOUT", kBoundText},
                         {"KIVO_NET_HANDSHAKE_TIMEOUT", kBoundText}});
  env.insert(env.end(), more.begin(), more.end());
  return std::make_unique<tmux_pane>(kivo_test::shell_quote(KIVO_BINARY) + " " + args, here.dir.path, env);
}

// The engine under tmux on the installation's own files; `pre` goes before
// it on its command line.
inline std::unique_ptr<tmux_pane> local_client(const installation& here, const std::string& pre = "") {
  return std::make_unique<tmux_pane>(pre + kivo_test::shell_quote(KIVO_BINARY) + " -d=DEM", here.dir.path,
                                     kivo_test::engine_env(here.dir.path));
}

inline std::string syserr(const installation& here) { return kivo_test::slurp(here.dir.file("syserr")); }

// The installation's CUSTOMER: `n` customers C00001 on, balance 1.20, put in
// by kivo -i.
inline void import_customers(const installation& in, int n) {
  const std::string base = in.dir.file("DEM/DEM/Data/CUSTOMER");
  unlink((base + ".dat").c_str()), unlink((base + ".key").c_str());
  std::ofstream flat(base, std::ios::binary);
  char rec[64];
  for (int i = 1; i <= n; ++i)  // no date
    flat.write(rec, snprintf(rec, sizeof rec, "C%05dName %-25d", i, i)).write("\0\0\0\x12\x0c\xff\xff\xff\xff\n", 10);
  flat.close();
  engine_proc import(in, {"-i=DEM/DEM/Data/CUSTOMER"}, {});
  const std::string said = import.output();
  EXPECT_TRUE(import.exited_with(0)) << said;
}

// The command header of a request of kind `request`, as it goes out whole.
inline std::string request_header(uint8_t request) {
  return std::string("\0\0\0\0", 4) + char(request) + std::string("\0\0\0", 3);
}

// The message row: the screen's last but one.
inline std::string message_row(tmux_pane& p) { return p.row(23); }

// Whether the message row comes to begin with `text`.
inline bool message_starts(tmux_pane& p, const std::string& text) {
  return kivo_test::wait_until([&] { return message_row(p).find(text) == 0; }, kivo_test::kScreenWait);
}

// CUSTOMER ENTRY opened from the menu.
inline bool customer_entry(tmux_pane& p) {
  if (!p.wait_for("DEM MENU") || !p.wait_for("MENU ENTRY")) return false;
  p.send_hex("\r");
  return p.wait_for("CUSTOMER NO:");
}

inline void type_customer(tmux_pane& p, const std::string& no, const std::string& name,
                          const std::string& balance = "1.00") {
  p.send_text(no), p.send_keys("Tab"), p.send_text(name), p.send_keys("Tab"), p.send_text(balance);
}

// Keys of CUSTOMER ENTRY up to an add (7002, Bob), a change (7001 to Zed)
// and a delete (7001) once customer 7001, Ann, is there; the change and the
// add are made by ENTER, the delete by F11.
inline const std::vector<std::string> kAdd = {"F10", "=7002", "Tab", "=Bob", "Tab", "=2.00"},
                                      kChange = {"F12", "=7001", "Enter", "S-F2", "Tab", "=Zed"},
                                      kDelete = {"F12", "=7001", "Enter", "F11", "F2"};

// CUSTOMER ENTRY opened and customer 7001, Ann, added through it.
inline bool ann_added(tmux_pane& p) {
  if (!customer_entry(p)) return false;
  p.send_keys("F10"), type_customer(p, "7001", "Ann"), p.send_hex("\r");
  return p.wait_for("RECORD ADDED");
}

// Sends `keys` (tmux key names; "=text" is typed).
inline void send_all(tmux_pane& p, const std::vector<std::string>& keys) {
  for (const std::string& k : keys) k[0] == '=' ? p.send_text(k.substr(1)) : p.send_keys(k);
}

// Shows customer `no` (INQUIRE MODE, its number, ENTER) until the screen
// holds `expect`: the first tries may fail at once while the connection
// that failed is not tried again.
inline bool look_up_until(tmux_pane& p, const std::string& no, const std::string& expect) {
  return kivo_test::wait_until(
      [&] {
        p.send_keys("F12"), p.send_text(no), p.send_hex("\r");
        return p.wait_for(expect, 1);
      },
      kivo_test::kScreenWait);
}

}  // namespace kivo::test
