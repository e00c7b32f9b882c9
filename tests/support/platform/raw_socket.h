// Plain loopback sockets for the tests: raw request bytes out, raw answer in,
// and a listener that holds a port the way another program would.
#pragma once

#include <string>

namespace qelt::test {

// Sends the bytes to 127.0.0.1:port and returns everything read until the
// server closes the connection or nothing arrives for timeout_ms.
std::string raw_exchange(int port, const std::string& request, int timeout_ms = 3000);

// A loopback port that was free a moment ago (bound to port 0, then closed).
int platform_free_port();

// True when something accepts connections on 127.0.0.1:port.
bool port_answers(int port);

// Binds and listens on 127.0.0.1:port for as long as it lives, excluding
// other listeners from that port.
class port_holder {
 public:
  explicit port_holder(int port);
  ~port_holder();
  port_holder(const port_holder&) = delete;
  port_holder& operator=(const port_holder&) = delete;
  bool holding() const { return holding_; }

 private:
  long long socket_;
  bool holding_ = false;
};

}  // namespace qelt::test
