// A socket going through a SOCKS proxy with everything it reports recorded,
// for the SOCKS tests against scripted and real servers.
#pragma once

#include <string>
#include <vector>

#include "net/socket/sync_wsocket.h"

namespace quillon::testing {

// A socket going through a proxy, with everything it reports recorded.
struct SocksClient {
  TWSocket s;
  std::vector<std::string> events;
  std::string data;
  int socks_error = 0;
  std::string socks_msg;
  bool closed = false;

  SocksClient() {
    s.OnSocksConnected = [this](TCustomWSocket*, Word e) { events.push_back("socks connected " + std::to_string(e)); };
    s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) {
      events.push_back("auth " + std::to_string(a));
    };
    s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
      socks_error = e;
      socks_msg = m;
      events.push_back("socks error " + std::to_string(e));
    };
    s.OnSessionConnected = [this](TCustomWSocket*, Word e) { events.push_back("connected " + std::to_string(e)); };
    s.OnDataAvailable = [this](TCustomWSocket* sender, Word) {
      std::string got = sender->ReceiveString();
      if (!got.empty() && (events.empty() || events.back() != "data")) events.push_back("data");
      data += got;
    };
    s.OnSessionClosed = [this](TCustomWSocket*, Word e) {
      closed = true;
      events.push_back("closed " + std::to_string(e));
    };
  }

  void Connect(const std::string& level, uint16_t proxy_port, const std::string& host, uint16_t target_port) {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxy_port));
    s.SetSocksLevel(level);
    s.SetAddr(host);
    s.SetPort(std::to_string(target_port));
    s.Connect();
  }
};

}  // namespace quillon::testing
