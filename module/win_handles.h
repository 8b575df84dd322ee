#pragma once

#include <windows.h>

// Owners for the handle kinds the library opens. Each closes its handle when
// it goes out of scope, so every early return releases what it acquired.

class ScopedFile {
  public:
    explicit ScopedFile(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ScopedFile(const ScopedFile &) = delete;
    ScopedFile &operator=(const ScopedFile &) = delete;
    ~ScopedFile() { reset(); }

    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid())
            CloseHandle(h_);
        h_ = h;
    }

  private:
    HANDLE h_;
};

class ScopedRegKey {
  public:
    ScopedRegKey() = default;
    ScopedRegKey(const ScopedRegKey &) = delete;
    ScopedRegKey &operator=(const ScopedRegKey &) = delete;
    ~ScopedRegKey() {
        if (h_)
            RegCloseKey(h_);
    }

    HKEY get() const { return h_; }
    HKEY *receive() { return &h_; }

  private:
    HKEY h_ = nullptr;
};
