#pragma once

// The platform's handle of an open file, directory or process (a file descriptor on POSIX, a
// HANDLE on Windows) and its one owner type, used by every part of the updater that opens one.

#include <utility>

#ifdef _WIN32
using NativeHandle = void*; // HANDLE, without <windows.h> in every file
inline constexpr NativeHandle kNoHandle = nullptr;
#else
using NativeHandle = int;
inline constexpr NativeHandle kNoHandle = -1;
#endif

// Whether a handle refers to something, and how one is closed; per platform
// (owned_handle_<platform>.cpp).
struct HandleTraits {
    // POSIX: not negative. Windows: neither null nor INVALID_HANDLE_VALUE.
    static bool isValid(NativeHandle handle);
    // A failed close changes nothing for the caller.
    static void close(NativeHandle handle);
};

// The sole owner of one handle: it closes the handle exactly once, whichever way its scope is
// left. Movable, never copied.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(NativeHandle handle) : handle_(handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { reset(); }

    NativeHandle get() const { return handle_; }
    bool isValid() const { return HandleTraits::isValid(handle_); }
    explicit operator bool() const { return isValid(); }
    // Gives the handle up without closing it.
    NativeHandle release() { return std::exchange(handle_, kNoHandle); }
    void reset(NativeHandle handle = kNoHandle) {
        if (HandleTraits::isValid(handle_))
            HandleTraits::close(handle_);
        handle_ = handle;
    }

private:
    NativeHandle handle_ = kNoHandle;
};

#ifdef _WIN32
// The owner of a Win32 kernel handle, under the name the Win32 code knows it by.
using WinHandle = OwnedHandle;
#endif
