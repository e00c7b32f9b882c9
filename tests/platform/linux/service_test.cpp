// What the Linux agent tells systemd: the notification datagrams and the journal's entries,
// each received on a socket of the test's own.
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/journal.h"
#include "platform/linux/service_notify.h"
#include "support/test_support.h"

namespace qelt::platform {
namespace {

// A datagram socket bound to `name` (a path, or an abstract name after a NUL).
class datagram_listener {
 public:
  explicit datagram_listener(const std::string& name) : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, sizeof address.sun_path - 1);
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] ? 1 : 0));
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0) << name;
    timeval wait{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  ~datagram_listener() { close(fd_); }
  std::string receive() {
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n < 0 ? std::string("(nothing)") : std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  int fd_;
};

TEST(service_notify, sends_one_datagram_to_an_abstract_or_a_path_socket_and_nothing_without_one) {
  const std::string abstract = "qelt-notify-test-" + std::to_string(getpid());
  datagram_listener on_abstract(std::string(1, '\0') + abstract);
  ASSERT_EQ(setenv("NOTIFY_SOCKET", ("@" + abstract).c_str(), 1), 0);
  EXPECT_TRUE(notify_service_manager("READY=1\nSTATUS=listening on 127.0.0.1:17654"));
  EXPECT_EQ(on_abstract.receive(), "READY=1\nSTATUS=listening on 127.0.0.1:17654");

  test::temp_dir dir;
  const std::string path = (dir.path() / "notify").string();
  datagram_listener on_path(path);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_TRUE(notify_service_manager("STOPPING=1"));
  EXPECT_EQ(on_path.receive(), "STOPPING=1");

  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(notify_service_manager("READY=1"));
}

TEST(journal, an_entry_is_one_datagram_of_fields_with_multi_line_values_length_prefixed) {
  test::temp_dir dir;
  const std::string path = (dir.path() / "journal").string();
  datagram_listener journald(path);
  EXPECT_TRUE(send_journal_entry(path, {{"MESSAGE", "qelt agent started."}, {"MESSAGE_ID", "882cfafe"},
                                        {"PRIORITY", "6"}, {"DETAIL", "two\nlines"}}));
  EXPECT_EQ(journald.receive(), std::string("MESSAGE=qelt agent started.\nMESSAGE_ID=882cfafe\nPRIORITY=6\n"
                                            "DETAIL\n\x09\0\0\0\0\0\0\0two\nlines\n",
                                            84));
  EXPECT_FALSE(send_journal_entry((dir.path() / "none").string(), {{"MESSAGE", "x"}}));
}

}  // namespace
}  // namespace qelt::platform
