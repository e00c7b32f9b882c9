#include "platform/linux/adapter_facts.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

#include <fcntl.h>

// net/if.h before the kernel's headers, which then leave its definitions alone.
#include <net/if.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mac_lookup/mac_lookup.h"

namespace qelt {

namespace {

constexpr std::string_view class_net = "/sys/class/net/";
constexpr std::string_view virtual_net = "/devices/virtual/net/";

struct fd_holder {
  int fd;
  ~fd_holder() {
    if (fd >= 0) ::close(fd);
  }
};

void report_failure(const char* step, int error) {
  std::fprintf(stderr, "netlink RTM_GETLINK dump failed: %s: %s\n", step,
               std::system_category().message(error).c_str());
}

std::string attribute_text(const rtattr* attribute) {
  const auto* text = static_cast<const char*>(RTA_DATA(attribute));
  const std::size_t size = RTA_PAYLOAD(attribute);
  return {text, ::strnlen(text, size)};
}

std::string link_kind(const rtattr* link_info) {
  int length = static_cast<int>(RTA_PAYLOAD(link_info));
  for (auto* it = static_cast<const rtattr*>(RTA_DATA(link_info)); RTA_OK(it, length);
       it = RTA_NEXT(it, length)) {
    if ((it->rta_type & NLA_TYPE_MASK) == IFLA_INFO_KIND) return attribute_text(it);
  }
  return {};
}

// False for a message too short to be a link.
bool parse_link(const nlmsghdr* message, adapter_facts& facts) {
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return false;
  const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
  facts.index = link->ifi_index;
  facts.flags = link->ifi_flags;
  facts.link_type = link->ifi_type;
  int length = static_cast<int>(IFLA_PAYLOAD(message));
  for (const rtattr* it = IFLA_RTA(link); RTA_OK(it, length); it = RTA_NEXT(it, length)) {
    switch (it->rta_type & NLA_TYPE_MASK) {
      case IFLA_IFNAME:
        facts.name = attribute_text(it);
        break;
      case IFLA_ADDRESS: {
        const auto* bytes = static_cast<const unsigned char*>(RTA_DATA(it));
        facts.address.assign(bytes, bytes + RTA_PAYLOAD(it));
        break;
      }
      case IFLA_LINKINFO:
        // A hardware port of a bridge or bond has link info too, with only a slave kind.
        facts.link_kind = link_kind(it);
        break;
      default:
        break;
    }
  }
  return true;
}

struct dump_request {
  nlmsghdr header;
  ifinfomsg link;
  rtattr mask_header;
  std::uint32_t mask;
};

// The dump, without the virtual functions' statistics (large on SR-IOV cards), which
// the lookup never reads.
bool send_dump_request(int fd, std::uint32_t sequence) {
  dump_request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  request.link.ifi_family = AF_UNSPEC;
  request.mask_header.rta_type = IFLA_EXT_MASK;
  request.mask_header.rta_len = RTA_LENGTH(sizeof request.mask);
  request.mask = RTEXT_FILTER_SKIP_STATS;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  while (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                  sizeof kernel) < 0) {
    if (errno != EINTR) {
      report_failure("sendto", errno);
      return false;
    }
  }
  return true;
}

// The answers to one dump request. interrupted: the list changed while it was dumped.
bool receive_dump(int fd, std::uint32_t sequence, std::vector<adapter_facts>& links, bool& interrupted) {
  std::vector<char> buffer(32768);
  for (;;) {
    // A datagram larger than the buffer would be cut: peek at its size first.
    const ssize_t size = ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_TRUNC);
    if (size < 0) {
      if (errno == EINTR) continue;
      report_failure("recv", errno);
      return false;
    }
    if (static_cast<std::size_t>(size) > buffer.size()) buffer.resize(static_cast<std::size_t>(size));
    sockaddr_nl sender{};
    socklen_t sender_size = sizeof sender;
    ssize_t received = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender),
                                  &sender_size);
    if (received < 0) {
      if (errno == EINTR) continue;
      report_failure("recvfrom", errno);
      return false;
    }
    // Only the kernel's answers to this request count.
    if (sender.nl_pid != 0) continue;
    auto length = static_cast<unsigned int>(received);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
         message = NLMSG_NEXT(message, length)) {
      if (message->nlmsg_seq != sequence) continue;
      if ((message->nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;
      if (message->nlmsg_type == NLMSG_DONE) {
        // A dump that failed part-way ends with the error in its last message.
        if (message->nlmsg_len >= NLMSG_LENGTH(sizeof(int))) {
          int error = 0;
          std::memcpy(&error, NLMSG_DATA(message), sizeof error);
          if (error < 0) {
            report_failure("kernel", -error);
            return false;
          }
        }
        return true;
      }
      if (message->nlmsg_type == NLMSG_ERROR) {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
          report_failure("kernel", EBADMSG);
          return false;
        }
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
        if (error->error == 0) continue;  // an acknowledgement
        report_failure("kernel", error->error < 0 ? -error->error : EBADMSG);
        return false;
      }
      if (message->nlmsg_type != RTM_NEWLINK) continue;
      adapter_facts facts;
      if (parse_link(message, facts)) links.push_back(std::move(facts));
    }
  }
}

// The text of a small sysfs file in folder, empty when it cannot be read.
std::string read_entry(int folder, const char* name) {
  const fd_holder file{::openat(folder, name, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return {};
  std::string text(4096, '\0');
  ssize_t size = 0;
  do {
    size = ::read(file.fd, text.data(), text.size());
  } while (size < 0 && errno == EINTR);
  text.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
  return text;
}

std::string devtype(const std::string& uevent) {
  constexpr std::string_view key = "DEVTYPE=";
  for (std::size_t line = 0; line < uevent.size();) {
    std::size_t end = uevent.find('\n', line);
    if (end == std::string::npos) end = uevent.size();
    const std::string_view text(uevent.data() + line, end - line);
    if (text.starts_with(key)) return std::string(text.substr(key.size()));
    line = end + 1;
  }
  return {};
}

std::optional<sysfs_facts> read_sysfs_facts(const adapter_facts& link) {
  // Kernel names never hold '/'; a name that did must not reach a path.
  if (link.name.empty() || link.name.find('/') != std::string::npos) return std::nullopt;
  const std::string entry = std::string(class_net) + link.name;
  char target[4096];
  const ssize_t target_size = ::readlink(entry.c_str(), target, sizeof target);
  if (target_size <= 0 || static_cast<std::size_t>(target_size) == sizeof target) return std::nullopt;
  // The folder itself from here on, so that every fact comes from the same device.
  const fd_holder folder{::open(entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (folder.fd < 0) return std::nullopt;
  // The sysfs of another namespace shows its own devices under the same names.
  if (read_entry(folder.fd, "ifindex") != std::to_string(link.index) + "\n") return std::nullopt;
  sysfs_facts facts;
  // A device with no parent on a bus sits in /sys/devices/virtual/net (the link is
  // relative: ../../devices/virtual/net/NAME).
  facts.virtual_device = std::string_view(target, static_cast<std::size_t>(target_size)).find(virtual_net) !=
                         std::string_view::npos;
  facts.devtype = devtype(read_entry(folder.fd, "uevent"));
  facts.phy80211 = ::faccessat(folder.fd, "phy80211", F_OK, 0) == 0;
  return facts;
}

// sysfs can change the answer only for a working interface with no link kind.
bool sysfs_decides(const adapter_facts& facts) {
  return (facts.flags & IFF_RUNNING) != 0 && facts.link_kind.empty();
}

}  // namespace

bool read_adapter_facts(std::vector<adapter_facts>& adapters) {
  const fd_holder netlink{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)};
  if (netlink.fd < 0) {
    report_failure("socket", errno);
    return false;
  }
  std::vector<adapter_facts> links;
  // A list that changed during the dump may miss an interface: ask again, a few times.
  constexpr std::uint32_t attempts = 3;
  for (std::uint32_t sequence = 1;; ++sequence) {
    links.clear();
    bool interrupted = false;
    if (!send_dump_request(netlink.fd, sequence) || !receive_dump(netlink.fd, sequence, links, interrupted)) {
      return false;
    }
    if (!interrupted || sequence == attempts) break;
  }
  for (adapter_facts& link : links) {
    if (sysfs_decides(link)) link.sysfs = read_sysfs_facts(link);
  }
  adapters = std::move(links);
  return true;
}

bool is_listed_adapter(const adapter_facts& facts) {
  if ((facts.flags & IFF_RUNNING) == 0) return false;
  // Software devices: netlink names the kind of most; the rest have no device on a bus.
  if (!facts.link_kind.empty()) return false;
  // Not confirmed to sit on a bus (another namespace's sysfs, or gone meanwhile).
  if (!facts.sysfs || facts.sysfs->virtual_device) return false;
  const bool wireless = facts.sysfs->devtype == "wlan" || facts.sysfs->phy80211;
  const bool ethernet = facts.link_type == ARPHRD_ETHER && facts.sysfs->devtype.empty();
  if (!wireless && !ethernet) return false;
  return find_ignore_case(facts.name, "virtual", 0) == std::string::npos;
}

}  // namespace qelt
