// Drives uiplug.dll the way the printing system does: LoadLibrary, its two exports,
// and the interfaces they hand out; plus a real property sheet for its pages.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <prsht.h>
#include <compstui.h>

#include <string>
#include <vector>

#include "uiplug/oem_ui.h"

namespace uiplug_test {

template <typename T>
class com_ptr {
public:
    com_ptr() = default;
    explicit com_ptr(T* raw) : raw_(raw) {}
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    com_ptr(com_ptr&& other) noexcept : raw_(other.raw_) { other.raw_ = nullptr; }
    com_ptr& operator=(com_ptr&& other) noexcept {
        if (this != &other) {
            reset();
            raw_ = other.raw_;
            other.raw_ = nullptr;
        }
        return *this;
    }

    T* get() const { return raw_; }
    T* operator->() const { return raw_; }
    explicit operator bool() const { return raw_ != nullptr; }
    void** put() {
        reset();
        return reinterpret_cast<void**>(&raw_);
    }
    void reset() {
        if (raw_ != nullptr) raw_->Release();
        raw_ = nullptr;
    }

private:
    T* raw_ = nullptr;
};

class loaded_dll {
public:
    // The built DLL beside the test program, or a copy elsewhere.
    explicit loaded_dll(const std::wstring& path = default_path());
    ~loaded_dll();
    loaded_dll(const loaded_dll&) = delete;
    loaded_dll& operator=(const loaded_dll&) = delete;

    static std::wstring default_path();

    HMODULE module() const { return module_; }
    HRESULT can_unload_now() const;
    HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** ppv) const;
    com_ptr<IClassFactory> factory() const;
    com_ptr<uiplug::oem_ui_interface> create_plugin() const;

private:
    HMODULE module_ = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now_)() = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
};

// Stands in for the common property sheet's callback: keeps a copy of every page added.
struct page_collector {
    std::vector<PROPSHEETPAGEW> pages;

    // Each add answers 100 + the page's position, so a test can tell which answer it got.
    static LONG_PTR CALLBACK com_prop_sheet(HANDLE sheet, UINT function, LPARAM lparam1,
                                            LPARAM lparam2);
    PROPSHEETUI_INFO info(WORD reason);
};

// A real modeless property sheet holding the collected pages. Destroying one costs
// Wine about two seconds without a window manager, so a test keeps one sheet.
class shown_sheet {
public:
    explicit shown_sheet(const std::vector<PROPSHEETPAGEW>& pages);
    ~shown_sheet();
    shown_sheet(const shown_sheet&) = delete;
    shown_sheet& operator=(const shown_sheet&) = delete;

    HWND window() const { return sheet_; }
    // Adds a page at the end and returns its index; its dialog is created when shown.
    int add_page(const PROPSHEETPAGEW& page);
    // Makes the page at index current, lets it paint and returns its window.
    HWND show_page(int index);

private:
    HWND sheet_ = nullptr;
};

void pump_messages();
std::wstring control_text(HWND page, int id);

// Pages as the device (true) or document sheet adds them, from a fresh plug-in object.
std::vector<PROPSHEETPAGEW> collect_pages(const loaded_dll& dll, bool device_sheet);

// The product's registry key; removed when the test starts and ends.
class product_key {
public:
    product_key();
    ~product_key();
    product_key(const product_key&) = delete;
    product_key& operator=(const product_key&) = delete;
    void set(const wchar_t* name, const std::wstring& value);
};

}  // namespace uiplug_test
