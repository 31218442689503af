// Small owners for Windows resources: each closes what it holds on every path.
#pragma once

#include <windows.h>

#include <utility>

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

    void reset(type value = Traits::invalid()) {
        if (valid()) Traits::close(value_);
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

using unique_handle = unique_any<handle_traits>;
using unique_file = unique_any<file_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_local = unique_any<local_traits>;

}  // namespace owned
