// The least of the Windows API that the agent calls, for targets that lack it.
// Names, types and values follow the Windows headers; behaviour is what the
// agent expects of each call (see windows_stand_in.cpp).
#pragma once

#include <cstdint>
#include <sys/socket.h>  // AF_UNSPEC

#define WINAPI
#define WSAAPI

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using LONG = std::int32_t;
using WCHAR = char16_t;  // UTF-16, as on Windows
using CHAR = char;
using PCHAR = char*;
using PWCHAR = WCHAR*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPCCH = const char*;
using LPBOOL = BOOL*;
using PULONG = ULONG*;
using PVOID = void*;
using HMODULE = void*;
using IFTYPE = ULONG;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr DWORD MAX_PATH = 260;

inline constexpr DWORD NO_ERROR = 0;
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;

DWORD GetLastError();
void SetLastError(DWORD code);

// Kernel
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

inline constexpr UINT CP_ACP = 0;
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR multi,
                        int multi_size, LPCCH default_char, LPBOOL used_default_char);

// Windows Sockets
constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
using LPWSADATA = WSADATA*;
int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup();

// IP Helper
enum IF_OPER_STATUS {
  IfOperStatusUp = 1,
  IfOperStatusDown = 2,
  IfOperStatusTesting = 3,
  IfOperStatusUnknown = 4,
  IfOperStatusDormant = 5,
  IfOperStatusNotPresent = 6,
  IfOperStatusLowerLayerDown = 7,
};
inline constexpr IFTYPE IF_TYPE_OTHER = 1;
inline constexpr IFTYPE IF_TYPE_ETHERNET_CSMACD = 6;
inline constexpr IFTYPE IF_TYPE_SOFTWARE_LOOPBACK = 24;
inline constexpr IFTYPE IF_TYPE_IEEE80211 = 71;
inline constexpr ULONG GAA_FLAG_SKIP_UNICAST = 0x0001;
inline constexpr ULONG GAA_FLAG_SKIP_ANYCAST = 0x0002;
inline constexpr ULONG GAA_FLAG_SKIP_MULTICAST = 0x0004;
inline constexpr ULONG GAA_FLAG_SKIP_DNS_SERVER = 0x0008;
inline constexpr ULONG GAA_FLAG_INCLUDE_PREFIX = 0x0010;
inline constexpr ULONG GAA_FLAG_SKIP_FRIENDLY_NAME = 0x0020;
inline constexpr ULONG MAX_ADAPTER_ADDRESS_LENGTH = 8;

struct IP_ADAPTER_ADDRESSES {
  ULONG Length;
  DWORD IfIndex;
  IP_ADAPTER_ADDRESSES* Next;
  PCHAR AdapterName;
  PWCHAR DnsSuffix;
  PWCHAR Description;
  PWCHAR FriendlyName;
  BYTE PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
  ULONG PhysicalAddressLength;
  ULONG Flags;
  ULONG Mtu;
  IFTYPE IfType;
  IF_OPER_STATUS OperStatus;
};
using PIP_ADAPTER_ADDRESSES = IP_ADAPTER_ADDRESSES*;

// In adapters_stand_in.cpp, for the benchmarks; the Linux agent lists adapters from
// netlink and sysfs instead.
ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                           PIP_ADAPTER_ADDRESSES addresses, PULONG size);

// Service control manager
struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, LPSTR* argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
  LPSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

inline constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr DWORD SERVICE_WIN32 = 0x30;
inline constexpr DWORD SERVICE_STOPPED = 1;
inline constexpr DWORD SERVICE_START_PENDING = 2;
inline constexpr DWORD SERVICE_STOP_PENDING = 3;
inline constexpr DWORD SERVICE_RUNNING = 4;
inline constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
inline constexpr DWORD SERVICE_PAUSE_PENDING = 6;
inline constexpr DWORD SERVICE_PAUSED = 7;
inline constexpr DWORD SERVICE_ACCEPT_STOP = 1;
inline constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
inline constexpr DWORD SERVICE_CONTROL_STOP = 1;
inline constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
inline constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
inline constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
inline constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
inline constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr DWORD SERVICE_DEMAND_START = 3;
inline constexpr DWORD SERVICE_ERROR_NORMAL = 1;
inline constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

SC_HANDLE OpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR display_name, DWORD access,
                         DWORD service_type, DWORD start_type, DWORD error_control,
                         LPCWSTR binary_path, LPCWSTR load_order_group, DWORD* tag_id,
                         LPCWSTR dependencies, LPCWSTR start_name, LPCWSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);
