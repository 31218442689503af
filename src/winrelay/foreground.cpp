#include "winrelay/foreground.h"

namespace {

DWORD foreground_lock_timeout() {
    DWORD timeout = 0;  // stays 0 when the read fails
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &timeout, 0);
    return timeout;
}

void set_foreground_lock_timeout(DWORD timeout) {
    // The new value travels in the pointer argument itself.
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<PVOID>(static_cast<UINT_PTR>(timeout)),
                          SPIF_UPDATEINIFILE | SPIF_SENDCHANGE);
}

// Windows 98/Me (4.90) and every NT 5 or later know AllowSetForegroundWindow.
bool can_allow_foreground() {
    static_assert(sizeof(OSVERSIONINFOEXW) == 284, "extended version layout");
    static_assert(sizeof(OSVERSIONINFOW) == 276, "basic version layout");
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    auto* basic = reinterpret_cast<OSVERSIONINFOW*>(&version);
#ifdef _MSC_VER
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    if (!GetVersionExW(basic)) {
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        GetVersionExW(basic);  // on failure the zeros below answer no
    }
#ifdef _MSC_VER
#pragma warning(pop)
#endif
    return version.dwMajorVersion > 4 ||
           (version.dwMajorVersion == 4 && version.dwMinorVersion == 90);
}

// A synthetic Alt tap makes this process the last one to receive input, which
// the foreground rules ask for; never while the user holds Alt down.
void tap_alt_unless_held() {
    BYTE keys[256] = {};
    if (!GetKeyboardState(keys) || (keys[VK_MENU] & 0x80) != 0) return;
    keybd_event(VK_MENU, 0, KEYEVENTF_EXTENDEDKEY, 0);
    keybd_event(VK_MENU, 0, KEYEVENTF_EXTENDEDKEY | KEYEVENTF_KEYUP, 0);
}

// Lifts the foreground lock for its lifetime and puts the user's value back.
class foreground_lock_lift {
public:
    foreground_lock_lift() : saved_(foreground_lock_timeout()) { set_foreground_lock_timeout(0); }
    ~foreground_lock_lift() { set_foreground_lock_timeout(saved_); }
    foreground_lock_lift(const foreground_lock_lift&) = delete;
    foreground_lock_lift& operator=(const foreground_lock_lift&) = delete;

private:
    DWORD saved_;
};

}  // namespace

bool bring_to_foreground(HWND window) {
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        return SetForegroundWindow(window) != FALSE;
    }
    foreground_lock_lift lift;
    if (can_allow_foreground()) AllowSetForegroundWindow(ASFW_ANY);
    tap_alt_unless_held();
    return SetForegroundWindow(window) != FALSE;
}
