#ifndef THREADSIFT_SCOPED_HANDLE_H
#define THREADSIFT_SCOPED_HANDLE_H

#include <windows.h>

// Owns one kernel handle, which may be null, and closes it when its scope
// ends. The result of the close is not examined. Never copied.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != NULL) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE Get() const { return handle_; }
  // Hands the handle over, for a close whose result counts.
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = NULL;
    return handle;
  }

 private:
  HANDLE handle_;
};

#endif
