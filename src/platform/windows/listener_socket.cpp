#include "platform/listener_socket.h"

#include "platform/windows/utf16.h"
#include "platform/windows_api.h"

namespace qelt::platform {

namespace {

// Wine's message table lacks the Windows Sockets errors: the usual ones of a bind, named.
std::string socket_error_name(int code) {
  switch (code) {
    case WSAEADDRINUSE: return "WSAEADDRINUSE: the address is already in use";
    case WSAEACCES: return "WSAEACCES: another program holds the port for itself";
    case WSAEADDRNOTAVAIL: return "WSAEADDRNOTAVAIL: the address is not this computer's";
    default: return "";
  }
}

std::string system_message(int code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring message = length > 0 ? std::wstring(text, length) : std::wstring();
  LocalFree(text);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  return to_utf8(message);
}

}  // namespace

std::string bind_failure_reason(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return "not an IPv4 address";
  const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int code = probe == INVALID_SOCKET ? WSAGetLastError() : 0;
  if (code == 0 && bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    code = WSAGetLastError();
  }
  if (code == 0 && listen(probe, 1) != 0) code = WSAGetLastError();
  if (probe != INVALID_SOCKET) closesocket(probe);
  if (code == 0) return "the address was in use for a moment";
  std::string message = system_message(code);
  const std::string name = socket_error_name(code);
  if (message.empty()) message = name.empty() ? "unknown error" : name.substr(name.find(": ") + 2);
  return message + " (" + (name.empty() ? "" : name.substr(0, name.find(':')) + ", ") + "error " +
         std::to_string(code) + ")";
}

}  // namespace qelt::platform
