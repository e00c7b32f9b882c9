// libFuzzer target: raw bytes as an HTTP request to the real qelt::http_server,
// with its real routes, handlers and log; only the MAC lookup is faked, through
// the constructor. The endpoint runs once per process on a free loopback port;
// each input goes over a fresh loopback connection, the write side is then shut
// and the answer read until the endpoint closes, with a deadline.
//
// Input: the first byte picks what the fake lookup does ('0' two addresses,
// '1' none found, '2' throws std::runtime_error, '3' throws something else) and,
// with '4' to '7', puts the endpoint under an origin policy; the rest is sent as it
// is, but for 17654, the agent's port, which becomes the endpoint's. The whole input
// also goes through the origin parsers, whose results must
// parse back to themselves.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "http_server/http_server.h"
#include "log/log_manager.h"
#include "policy/origin.h"
#include "policy/origin_policy.h"

namespace qelt::fuzz {

namespace {

constexpr auto answer_deadline = std::chrono::seconds(20);
constexpr int inputs_between_log_trims = 20000;

std::atomic<int> lookup_mode{0};

bool fake_lookup(std::list<std::string>& macs) {
  switch (lookup_mode.load()) {
    case 1:
      return false;
    case 2:
      throw std::runtime_error("adapter query failed: \xff\xfe not UTF-8");
    case 3:
      throw 42;
    default:
      macs.push_back("00:1A:2B:3C:4D:5E");
      macs.push_back("02:00:00:00:00:01");
      return true;
  }
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "http_request_fuzzer: %s\n", what.c_str());
  std::abort();
}

class scoped_fd {
 public:
  explicit scoped_fd(int fd) : fd_(fd) {}
  ~scoped_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  scoped_fd(const scoped_fd&) = delete;
  scoped_fd& operator=(const scoped_fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

// A raw probe rather than httplib's bind_to_any_port, whose socket outlives the
// Server object with SO_REUSEPORT set and would take half of the connections.
int free_port() {
  const scoped_fd probe(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("no free loopback port");
  }
  return ntohs(address.sin_port);
}

int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket: " + std::system_category().message(errno));
  const sockaddr_in address = loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // libFuzzer's timeout timer (SIGALRM) may interrupt connect, which then goes on
    // by itself: wait for its outcome instead of giving up.
    int error = errno;
    if (error == EINTR) {
      pollfd watch{fd, POLLOUT, 0};
      while (::poll(&watch, 1, -1) < 0 && errno == EINTR) {
      }
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
    if (error != 0) {
      ::close(fd);
      errno = error;
      return -1;
    }
  }
  const int yes = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Writes the request and reads the answer at once, so that neither side stalls on a
// full buffer; the write side is shut when all is sent. Returns the answer bytes.
std::string exchange(int fd, const std::uint8_t* data, std::size_t size) {
  const auto deadline = std::chrono::steady_clock::now() + answer_deadline;
  std::string answer;
  std::size_t sent = 0;
  bool write_open = true;
  if (size == 0) {
    ::shutdown(fd, SHUT_WR);
    write_open = false;
  }
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) fail("no end of the answer within the deadline");
    pollfd watch{fd, static_cast<short>(POLLIN | (write_open ? POLLOUT : 0)), 0};
    if (::poll(&watch, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) fail("poll");
    if (write_open && (watch.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      // The endpoint may answer and close before it has read everything.
      if (n < 0 && errno != EAGAIN && errno != EINTR) write_open = false;
      if (sent == size) {
        ::shutdown(fd, SHUT_WR);
        write_open = false;
      }
    }
    if ((watch.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      char buffer[16384];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        answer.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        return answer;  // closed, or reset after an early answer
      }
    }
  }
}

struct endpoint_harness {
  std::filesystem::path log_dir;
  std::filesystem::path log_file;
  http_server* endpoint = nullptr;
  std::shared_ptr<const origin_policy> policy = std::make_shared<const origin_policy>(origin_policy::from_entries(
      "fuzz", {"https://app.example.com", "https://[*.]example.org", "http://localhost:8080", "http://[::1]:3000"}));
  int port = 0;
  int inputs = 0;
};

endpoint_harness* harness = nullptr;

void end_harness() {
  if (harness == nullptr) return;
  harness->endpoint->stop();
  delete harness->endpoint;
  std::error_code ignored;
  std::filesystem::remove_all(harness->log_dir, ignored);
  delete harness;
  harness = nullptr;
}

void start_harness() {
  harness = new endpoint_harness;
  harness->log_dir = std::filesystem::temp_directory_path() /
                     ("qelt-http-fuzz-" + std::to_string(::getpid()));
  std::filesystem::create_directories(harness->log_dir);
  // The console sink writes every record to stdout; libFuzzer reports on stderr.
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null_fd, STDOUT_FILENO);
  ::close(null_fd);
  log_manager::create((harness->log_dir / "qelt.log").string(), "QELT_LOGGER", "debug");
  harness->port = free_port();
  harness->endpoint = new http_server(fake_lookup);
  harness->endpoint->init("127.0.0.1", harness->port);
  harness->endpoint->start();
  // Registered after the log was made, so it runs before the log is torn down.
  std::atexit(end_harness);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    const int fd = connect_to(harness->port);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) fail("the endpoint never listened");
    std::this_thread::yield();
  }
}

// The daily file is opened for appending: cutting it to zero keeps a long run's
// records from filling the disk, and the endpoint goes on writing at its new end.
void trim_log() {
  if (++harness->inputs % inputs_between_log_trims != 0) return;
  for (const auto& entry : std::filesystem::directory_iterator(harness->log_dir)) {
    std::error_code ignored;
    std::filesystem::resize_file(entry.path(), 0, ignored);
  }
}

// An origin, once parsed, is written as text (the log, Access-Control-Allow-Origin)
// that parses back to the same origin, and a plain origin allows itself.
void check_origin_parsers(std::string_view text) {
  for (const auto parse : {parse_allowed_origin, parse_origin_header, origin_of_url}) {
    const origin_parse parsed = parse(text);
    if (!parsed.value) {
      if (parsed.reason.empty()) fail("an origin refused without a reason");
      continue;
    }
    const origin_parse again = parse_allowed_origin(parsed.value->text());
    if (!again.value || !(*again.value == *parsed.value)) fail("origin does not parse back: " + parsed.value->text());
    if (!parsed.value->subdomains && !allows(*parsed.value, *parsed.value)) fail("origin refuses itself");
  }
  (void)is_own_host(text, 17654);
  if (printable(text).find_first_of("\r\n") != std::string::npos) fail("control characters left for the log");
}

}  // namespace

}  // namespace qelt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qelt::fuzz;
  if (harness == nullptr) start_harness();
  if (size == 0) return 0;
  lookup_mode = (data[0] - '0') & 3;
  harness->endpoint->set_origin_policy(((data[0] - '0') & 4) != 0 ? harness->policy : nullptr);
  check_origin_parsers(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  const scoped_fd connection(connect_to(harness->port));
  if (connection.get() < 0) fail("connect: " + std::system_category().message(errno));
  // The agent's port in the input stands for the endpoint's, so that a Host header can name it.
  std::string request(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string agent_port = "17654", port = std::to_string(harness->port);
  for (auto at = request.find(agent_port); at != std::string::npos; at = request.find(agent_port, at + port.size())) {
    request.replace(at, agent_port.size(), port);
  }
  const std::string answer =
      exchange(connection.get(), reinterpret_cast<const std::uint8_t*>(request.data()), request.size());
  // Whatever came in, an answer, if any, is HTTP: never a torn or foreign first line.
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0) fail("answer is not HTTP: " + answer.substr(0, 64));
  trim_log();
  return 0;
}
