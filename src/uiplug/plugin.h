// The plug-in object the printer driver's UI module talks to.
#pragma once

#include "uiplug/com_object.h"
#include "uiplug/oem_ui.h"

namespace uiplug {

class plugin final : public com_object<plugin, oem_ui_interface, kIidOemUi> {
public:
    plugin();
    plugin(const plugin&) = delete;
    plugin& operator=(const plugin&) = delete;

    HRESULT STDMETHODCALLTYPE GetInfo(DWORD mode, PVOID buffer, DWORD size, PDWORD needed) override;
    HRESULT STDMETHODCALLTYPE DevMode(DWORD mode, oem_dm_param* param) override;
    HRESULT STDMETHODCALLTYPE PublishDriverInterface(IUnknown* driver) override;
    HRESULT STDMETHODCALLTYPE CommonUIProp(DWORD mode, oem_cuip_param* param) override;
    HRESULT STDMETHODCALLTYPE DocumentPropertySheets(PPROPSHEETUI_INFO info,
                                                     LPARAM lparam) override;
    HRESULT STDMETHODCALLTYPE DevicePropertySheets(PPROPSHEETUI_INFO info, LPARAM lparam) override;
    HRESULT STDMETHODCALLTYPE DevQueryPrintEx(PVOID, PVOID, PDEVMODEW, PVOID) override;
    HRESULT STDMETHODCALLTYPE DeviceCapabilities(PVOID, HANDLE, PWSTR, WORD, PVOID, PDEVMODEW,
                                                 PVOID, DWORD, DWORD*) override;
    HRESULT STDMETHODCALLTYPE UpgradePrinter(DWORD, PBYTE) override;
    HRESULT STDMETHODCALLTYPE PrinterEvent(PWSTR, INT, DWORD, LPARAM) override;
    HRESULT STDMETHODCALLTYPE DriverEvent(DWORD, DWORD, LPBYTE, LPARAM) override;
    HRESULT STDMETHODCALLTYPE QueryColorProfile(HANDLE, PVOID, PDEVMODEW, PVOID, ULONG query_mode,
                                                VOID* profile, ULONG* profile_size,
                                                ULONG* profile_flags) override;
    HRESULT STDMETHODCALLTYPE FontInstallerDlgProc(HWND, UINT, WPARAM, LPARAM) override;
    HRESULT STDMETHODCALLTYPE UpdateExternalFonts(HANDLE, HANDLE, PWSTR) override;

private:
    friend class com_object<plugin, oem_ui_interface, kIidOemUi>;
    ~plugin();

    IUnknown* driver_ = nullptr;
};

}  // namespace uiplug
