// Stand-ins for the Windows calls the agent makes, built from what Linux offers.
#include "windows_stand_in.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

thread_local DWORD last_error = 0;

// Decodes one code point from UTF-16; unpaired surrogates become U+FFFD.
char32_t next_code_point(const WCHAR*& it, const WCHAR* end) {
  char32_t unit = *it++;
  if (unit >= 0xD800 && unit <= 0xDBFF && it != end && *it >= 0xDC00 && *it <= 0xDFFF) {
    return 0x10000 + ((unit - 0xD800) << 10) + (static_cast<char32_t>(*it++) - 0xDC00);
  }
  if (unit >= 0xD800 && unit <= 0xDFFF) return 0xFFFD;
  return unit;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (module != nullptr || size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::error_code error;
  const std::u16string path = std::filesystem::read_symlink("/proc/self/exe", error).u16string();
  if (error) {
    SetLastError(static_cast<DWORD>(error.value()));
    return 0;
  }
  // As on Windows: a path that does not fit is cut, terminated, and the size is returned.
  if (path.size() >= size) {
    std::copy_n(path.data(), size - 1, file_name);
    file_name[size - 1] = u'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy_n(path.c_str(), path.size() + 1, file_name);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// The ANSI code page here is UTF-8. Like Windows: a size of 0 asks for the size
// needed, and output that does not fit fails with ERROR_INSUFFICIENT_BUFFER.
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_length, LPSTR multi,
                        int multi_size, LPCCH, LPBOOL) {
  if (code_page != CP_ACP || flags != 0 || wide == nullptr || wide_length == 0 || multi_size < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const WCHAR* end = wide;
  if (wide_length < 0) {
    while (*end != 0) ++end;
    ++end;  // the terminator is converted too
  } else {
    end = wide + wide_length;
  }
  std::string out;
  for (const WCHAR* it = wide; it != end;) append_utf8(out, next_code_point(it, end));
  if (multi_size == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<std::size_t>(multi_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(multi, out.data(), out.size());
  return static_cast<int>(out.size());
}

int WSAStartup(WORD version, LPWSADATA data) {
  if (data != nullptr) *data = WSADATA{version, MAKEWORD(2, 2)};
  return 0;
}

int WSACleanup() { return 0; }

// Nothing starts a process as a Windows service here.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA*) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return FALSE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) {
  SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  return nullptr;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// There is no service database here: management fails as it does without
// administrator rights.
SC_HANDLE OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

SC_HANDLE CreateServiceW(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                         DWORD*, LPCWSTR, LPCWSTR, LPCWSTR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

SC_HANDLE OpenServiceA(SC_HANDLE, LPCSTR, DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

BOOL DeleteService(SC_HANDLE) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) { return handle != nullptr ? TRUE : FALSE; }
