#include <memory>
#include <new>

#include "uiplug/module.h"
#include "uiplug/pages.h"
#include "uiplug/resource_ids.h"

namespace uiplug {
namespace {

using create_act_ctx_fn = HANDLE(WINAPI*)(PCACTCTXW);
using release_act_ctx_fn = void(WINAPI*)(HANDLE);

// Created and read without a lock: two sheets opening at once may each create one.
HANDLE g_activation_context = INVALID_HANDLE_VALUE;

// Bound at run time so the DLL still loads where activation contexts do not exist.
template <typename Fn>
Fn kernel32_function(const char* name) {
    const HMODULE kernel32 = GetModuleHandleW(L"Kernel32.dll");
    if (kernel32 == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(kernel32, name)));
}

create_act_ctx_fn create_act_ctx() {
    static const create_act_ctx_fn function = kernel32_function<create_act_ctx_fn>("CreateActCtxW");
    return function;
}

release_act_ctx_fn release_act_ctx() {
    static const release_act_ctx_fn function =
        kernel32_function<release_act_ctx_fn>("ReleaseActCtx");
    return function;
}

// The DLL's full path; a path still cut after ten tries is used as it is.
std::unique_ptr<wchar_t[]> module_path() {
    constexpr int kAttempts = 10;
    DWORD size = MAX_PATH;
    std::unique_ptr<wchar_t[]> path;
    for (int attempt = 1;; ++attempt) {
        path.reset(new (std::nothrow) wchar_t[size]);
        if (!path) return nullptr;
        const DWORD length = GetModuleFileNameW(module_instance(), path.get(), size);
        if (length == 0) return nullptr;
        if (length < size || attempt == kAttempts) break;
        size *= 2;
    }
    path[size - 1] = L'\0';  // a cut path may lack its terminator
    return path;
}

HANDLE create_activation_context() {
    const create_act_ctx_fn create = create_act_ctx();
    if (create == nullptr) return INVALID_HANDLE_VALUE;
    const std::unique_ptr<wchar_t[]> path = module_path();
    if (!path) return INVALID_HANDLE_VALUE;
    ACTCTXW context;
    ZeroMemory(&context, sizeof context);
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.get();
    context.lpResourceName = MAKEINTRESOURCEW(IDR_UIPLUG_MANIFEST);
    return create(&context);
}

}  // namespace

HANDLE get_activation_context() {
    if (g_activation_context == INVALID_HANDLE_VALUE)
        g_activation_context = create_activation_context();
    return g_activation_context;
}

void release_activation_context() {
    if (g_activation_context == INVALID_HANDLE_VALUE) return;
    const release_act_ctx_fn release = release_act_ctx();
    if (release != nullptr) release(g_activation_context);
    g_activation_context = INVALID_HANDLE_VALUE;
}

}  // namespace uiplug
