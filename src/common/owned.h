// Small owners for Windows resources: each closes what it holds on every path.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <utility>

#include "common/last_error.h"

namespace owned {

// Traits: static type invalid(); static void close(type).
template <typename Traits>
class unique_any {
public:
    using type = typename Traits::type;

    unique_any() = default;
    explicit unique_any(type value) : value_(value) {}
    ~unique_any() { reset(); }

    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    type get() const { return value_; }
    bool valid() const { return value_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }

    // For out parameters: releases what is held and exposes the slot.
    type* put() {
        reset();
        return &value_;
    }

    type release() {
        type value = value_;
        value_ = Traits::invalid();
        return value;
    }

    // Closing keeps the thread's last-error value: an owner that ends on a
    // failure path must not replace the code the failure left.
    void reset(type value = Traits::invalid()) {
        if (valid()) {
            const last_error_keeper keep;
            Traits::close(value_);
        }
        value_ = value;
    }

private:
    type value_ = Traits::invalid();
};

struct handle_traits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseHandle(h); }
};

// CreateFile and CreateNamedPipe report failure as INVALID_HANDLE_VALUE.
struct file_traits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { CloseHandle(h); }
};

struct hkey_traits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type h) { RegCloseKey(h); }
};

struct local_traits {
    using type = HLOCAL;
    static type invalid() { return nullptr; }
    static void close(type h) { LocalFree(h); }
};

struct service_traits {
    using type = SC_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseServiceHandle(h); }
};

struct find_traits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { FindClose(h); }
};

struct heap_traits {
    using type = void*;
    static type invalid() { return nullptr; }
    static void close(type p) { HeapFree(GetProcessHeap(), 0, p); }
};

struct gdi_traits {
    using type = HGDIOBJ;
    static type invalid() { return nullptr; }
    static void close(type h) { DeleteObject(h); }
};

// A memory device context from CreateCompatibleDC (a window's own DC is released, not deleted).
struct dc_traits {
    using type = HDC;
    static type invalid() { return nullptr; }
    static void close(type h) { DeleteDC(h); }
};

struct module_traits {
    using type = HMODULE;
    static type invalid() { return nullptr; }
    static void close(type h) { FreeLibrary(h); }
};

using unique_handle = unique_any<handle_traits>;
using unique_file = unique_any<file_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_local = unique_any<local_traits>;
using unique_service = unique_any<service_traits>;
using unique_find = unique_any<find_traits>;
using unique_heap = unique_any<heap_traits>;
using unique_gdi = unique_any<gdi_traits>;
using unique_dc = unique_any<dc_traits>;
using unique_module = unique_any<module_traits>;

// Closes a handle kept in a plain slot that others read (a record's field, a
// process-wide table) and leaves the slot empty.
inline void close_slot(HANDLE& slot) {
    const unique_handle closing(slot);
    slot = nullptr;
}

// A window's device context from GetDC, released to that window.
class window_dc {
public:
    explicit window_dc(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~window_dc() {
        if (!dc_) return;
        const last_error_keeper keep;
        ReleaseDC(window_, dc_);
    }
    window_dc(const window_dc&) = delete;
    window_dc& operator=(const window_dc&) = delete;

    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// Selects a GDI object into a device context for one scope and puts the
// previous one back, so the object is free to be deleted afterwards.
class selection {
public:
    selection(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~selection() {
        if (previous_) SelectObject(dc_, previous_);
    }
    selection(const selection&) = delete;
    selection& operator=(const selection&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// What CreateProcess fills in: both handles are closed with the owner.
class process_info {
public:
    process_info() = default;
    ~process_info() { reset(); }
    process_info(const process_info&) = delete;
    process_info& operator=(const process_info&) = delete;

    // The slot CreateProcess writes; call only on an empty owner.
    PROCESS_INFORMATION* put() {
        reset();
        return &info_;
    }
    HANDLE process() const { return info_.hProcess; }
    HANDLE thread() const { return info_.hThread; }
    DWORD process_id() const { return info_.dwProcessId; }

    // Hands over the process handle and closes the thread handle.
    HANDLE release_process() {
        const HANDLE process = info_.hProcess;
        info_.hProcess = nullptr;
        reset();
        return process;
    }

    void reset() {
        const last_error_keeper keep;
        if (info_.hThread) CloseHandle(info_.hThread);
        if (info_.hProcess) CloseHandle(info_.hProcess);
        info_ = PROCESS_INFORMATION{};
    }

private:
    PROCESS_INFORMATION info_{};
};

}  // namespace owned
