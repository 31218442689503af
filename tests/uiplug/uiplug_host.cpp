#include "uiplug_host.h"

#include <commctrl.h>

#include "support/support.h"

namespace uiplug_test {
namespace {

constexpr wchar_t kProductKey[] = L"Software\\Corvix TIF Printer";

template <typename Fn>
Fn export_of(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

loaded_dll::loaded_dll(const std::wstring& path) {
    module_ = LoadLibraryW(path.c_str());
    if (module_ == nullptr) return;
    can_unload_now_ = export_of<decltype(can_unload_now_)>(module_, "DllCanUnloadNow");
    get_class_object_ = export_of<decltype(get_class_object_)>(module_, "DllGetClassObject");
}

loaded_dll::~loaded_dll() {
    if (module_ != nullptr) FreeLibrary(module_);
}

std::wstring loaded_dll::default_path() { return test_support::beside_exe(L"uiplug.dll"); }

HRESULT loaded_dll::can_unload_now() const { return can_unload_now_(); }

HRESULT loaded_dll::get_class_object(REFCLSID clsid, REFIID riid, void** ppv) const {
    return get_class_object_(clsid, riid, ppv);
}

com_ptr<IClassFactory> loaded_dll::factory() const {
    com_ptr<IClassFactory> factory;
    get_class_object(uiplug::kClsidPlugin, uiplug::kIidClassFactory, factory.put());
    return factory;
}

com_ptr<uiplug::oem_ui_interface> loaded_dll::create_plugin() const {
    com_ptr<uiplug::oem_ui_interface> object;
    const com_ptr<IClassFactory> factory = this->factory();
    if (factory) factory->CreateInstance(nullptr, uiplug::kIidOemUi, object.put());
    return object;
}

LONG_PTR CALLBACK page_collector::com_prop_sheet(HANDLE sheet, UINT function, LPARAM lparam1,
                                                 LPARAM) {
    auto* self = static_cast<page_collector*>(sheet);
    if (function != CPSFUNC_ADD_PROPSHEETPAGEW) return 0;
    self->pages.push_back(*reinterpret_cast<const PROPSHEETPAGEW*>(lparam1));
    return 100 + static_cast<LONG_PTR>(self->pages.size() - 1);
}

PROPSHEETUI_INFO page_collector::info(WORD reason) {
    PROPSHEETUI_INFO info{};
    info.cbSize = sizeof info;
    info.Version = PROPSHEETUI_INFO_VERSION;
    info.Reason = reason;
    info.hComPropSheet = this;
    info.pfnComPropSheet = com_prop_sheet;
    return info;
}

shown_sheet::shown_sheet(const std::vector<PROPSHEETPAGEW>& pages) {
    std::vector<HPROPSHEETPAGE> handles;
    for (const PROPSHEETPAGEW& page : pages) handles.push_back(CreatePropertySheetPageW(&page));
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_MODELESS | PSH_NOAPPLYNOW;
    header.pszCaption = L"uiplug test sheet";
    header.nPages = static_cast<UINT>(handles.size());
    header.phpage = handles.data();
    sheet_ = reinterpret_cast<HWND>(PropertySheetW(&header));
    if (sheet_ != nullptr) {
        SetWindowPos(sheet_, HWND_TOP, 10, 10, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
        pump_messages();
    }
}

shown_sheet::~shown_sheet() {
    if (sheet_ != nullptr) DestroyWindow(sheet_);
    pump_messages();
}

int shown_sheet::add_page(const PROPSHEETPAGEW& page) {
    SendMessageW(sheet_, PSM_ADDPAGE, 0, reinterpret_cast<LPARAM>(CreatePropertySheetPageW(&page)));
    return TabCtrl_GetItemCount(PropSheet_GetTabControl(sheet_)) - 1;
}

HWND shown_sheet::show_page(int index) {
    SendMessageW(sheet_, PSM_SETCURSEL, static_cast<WPARAM>(index), 0);
    const HWND page = reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETCURRENTPAGEHWND, 0, 0));
    RedrawWindow(sheet_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    pump_messages();
    return page;
}

void pump_messages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

std::wstring control_text(HWND page, int id) {
    wchar_t text[1024] = L"";
    GetDlgItemTextW(page, id, text, 1024);
    return text;
}

std::vector<PROPSHEETPAGEW> collect_pages(const loaded_dll& dll, bool device_sheet) {
    page_collector collector;
    const com_ptr<uiplug::oem_ui_interface> plugin = dll.create_plugin();
    PROPSHEETUI_INFO info = collector.info(PROPSHEETUI_REASON_INIT);
    if (device_sheet) {
        plugin->DevicePropertySheets(&info, 0);
    } else {
        plugin->DocumentPropertySheets(&info, 0);
    }
    return collector.pages;
}

product_key::product_key() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey); }

product_key::~product_key() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, kProductKey); }

void product_key::set(const wchar_t* name, const std::wstring& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

}  // namespace uiplug_test
