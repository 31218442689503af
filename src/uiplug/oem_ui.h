// The printer driver's UI plug-in interface and the parameter blocks it passes.
// The cross-compiler's headers lack them, so they are declared here.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <prsht.h>
#include <compstui.h>

namespace uiplug {

// Class and interface identifiers compared against.
inline constexpr GUID kClsidPlugin = {
    0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
inline constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIidOemUi = {
    0xC6A7A9D0, 0x774C, 0x11D1, {0x94, 0x7F, 0x00, 0xA0, 0xC9, 0x06, 0x40, 0xB8}};
inline constexpr GUID kIidOemDriverUi = {
    0x92B05D50, 0x78BC, 0x11D1, {0x94, 0x80, 0x00, 0xA0, 0xC9, 0x06, 0x40, 0xB8}};

struct oem_dm_extra_header {
    DWORD dwSize;
    DWORD dwSignature;
    DWORD dwVersion;
};

struct oem_dm_param {
    DWORD cbSize;
    PVOID pdriverobj;
    HANDLE hPrinter;
    HANDLE hModule;
    PDEVMODEW pPublicDMIn;
    PDEVMODEW pPublicDMOut;
    PVOID pOEMDMIn;
    PVOID pOEMDMOut;
    DWORD cbBufSize;
};

struct oem_cuip_param;
using oem_cuip_callback = LONG(APIENTRY*)(PCPSUICBPARAM, oem_cuip_param*);

struct oem_cuip_param {
    DWORD cbSize;
    PVOID poemuiobj;
    HANDLE hPrinter;
    PWSTR pPrinterName;
    HANDLE hModule;
    HANDLE hOEMHeap;
    PDEVMODEW pPublicDM;
    PVOID pOEMDM;
    DWORD dwFlags;
    POPTITEM pDrvOptItems;
    DWORD cDrvOptItems;
    POPTITEM pOEMOptItems;
    DWORD cOEMOptItems;
    PVOID pOEMUserData;
    oem_cuip_callback OEMCUIPCallback;
};

// GetInfo modes
constexpr DWORD kGetSignature = 1;
constexpr DWORD kGetInterfaceVersion = 2;
constexpr DWORD kGetVersion = 3;
constexpr DWORD kGetPublisherInfo = 4;

// DevMode modes
constexpr DWORD kDevModeSize = 1;
constexpr DWORD kDevModeDefault = 2;
constexpr DWORD kDevModeConvert = 3;
constexpr DWORD kDevModeMerge = 4;

// CommonUIProp modes
constexpr DWORD kDocumentProperties = 1;
constexpr DWORD kPrinterProperties = 2;

// QueryColorProfile
constexpr ULONG kQueryDeviceProfile = 0;
constexpr ULONG kProfileOnDisk = 2;

// Slots 3 to 16 after IUnknown, in the order the driver calls them.
struct oem_ui_interface : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetInfo(DWORD mode, PVOID buffer, DWORD size,
                                              PDWORD needed) = 0;
    virtual HRESULT STDMETHODCALLTYPE DevMode(DWORD mode, oem_dm_param* param) = 0;
    virtual HRESULT STDMETHODCALLTYPE PublishDriverInterface(IUnknown* driver) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommonUIProp(DWORD mode, oem_cuip_param* param) = 0;
    virtual HRESULT STDMETHODCALLTYPE DocumentPropertySheets(PPROPSHEETUI_INFO info,
                                                             LPARAM lparam) = 0;
    virtual HRESULT STDMETHODCALLTYPE DevicePropertySheets(PPROPSHEETUI_INFO info,
                                                           LPARAM lparam) = 0;
    virtual HRESULT STDMETHODCALLTYPE DevQueryPrintEx(PVOID uiobj, PVOID query, PDEVMODEW public_dm,
                                                      PVOID oem_dm) = 0;
    virtual HRESULT STDMETHODCALLTYPE DeviceCapabilities(PVOID uiobj, HANDLE printer,
                                                         PWSTR device_name, WORD capability,
                                                         PVOID output, PDEVMODEW public_dm,
                                                         PVOID oem_dm, DWORD old,
                                                         DWORD* result) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpgradePrinter(DWORD level, PBYTE upgrade_info) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrinterEvent(PWSTR printer_name, INT driver_event,
                                                   DWORD flags, LPARAM lparam) = 0;
    virtual HRESULT STDMETHODCALLTYPE DriverEvent(DWORD driver_event, DWORD level,
                                                  LPBYTE driver_info, LPARAM lparam) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryColorProfile(HANDLE printer, PVOID uiobj,
                                                        PDEVMODEW public_dm, PVOID oem_dm,
                                                        ULONG query_mode, VOID* profile,
                                                        ULONG* profile_size,
                                                        ULONG* profile_flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE FontInstallerDlgProc(HWND window, UINT message, WPARAM wparam,
                                                           LPARAM lparam) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdateExternalFonts(HANDLE printer, HANDLE heap,
                                                          PWSTR cartridges) = 0;
};

}  // namespace uiplug
