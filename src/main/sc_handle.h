// Closes a service-manager handle on every path out of the function that opened it.
#pragma once

#include "platform/windows_api.h"

namespace qelt {

class sc_handle {
 public:
  explicit sc_handle(SC_HANDLE handle) : handle_(handle) {}
  ~sc_handle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  sc_handle(const sc_handle&) = delete;
  sc_handle& operator=(const sc_handle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

}  // namespace qelt
