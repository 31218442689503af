#include "uiplug/plugin.h"

#include <string.h>

#include "uiplug/module.h"
#include "uiplug/pages.h"
#include "uiplug/private_devmode.h"
#include "uiplug/resource_ids.h"

namespace uiplug {
namespace {

#ifndef _WIN64
static_assert(sizeof(PROPSHEETPAGEW) == 52, "the full page structure, hActCtx included");
#endif

constexpr wchar_t kSheetTitle[] = L"OEM UI Page";
constexpr wchar_t kProfileName[] = L"OEMPROFILE.icm";
constexpr ULONG kProfileBufferBytes = 32;
static_assert(sizeof(kProfileName) <= kProfileBufferBytes, "profile name fits what is asked for");

LONG APIENTRY document_callback(PCPSUICBPARAM param, oem_cuip_param*) {
    return param != nullptr && param->Reason == CPSUICB_REASON_SETACTIVE ? 1 : 0;
}

LONG APIENTRY printer_callback(PCPSUICBPARAM, oem_cuip_param*) { return 0; }

bool is_colour_item(BYTE id) {
    return id == DMPUB_COLOR || id == DMPUB_ICMMETHOD || id == DMPUB_ICMINTENT;
}

// Additional before About; the About call's answer is the sheet's result.
LONG_PTR add_pages(const PROPSHEETUI_INFO& info, bool device_sheet) {
    PROPSHEETPAGEW page;
    ZeroMemory(&page, sizeof page);
    page.dwSize = sizeof page;
    page.hInstance = module_instance();
    if (device_sheet) {
        page.hActCtx = get_activation_context();
        if (page.hActCtx != nullptr && page.hActCtx != INVALID_HANDLE_VALUE)
            page.dwFlags |= PSP_USEFUSIONCONTEXT;
    }
    page.pszTemplate = MAKEINTRESOURCEW(IDD_ADDITIONAL);
    page.pfnDlgProc = additional_page_proc;
    info.pfnComPropSheet(info.hComPropSheet, CPSFUNC_ADD_PROPSHEETPAGEW,
                         reinterpret_cast<LPARAM>(&page), 0);
    page.pszTemplate = MAKEINTRESOURCEW(IDD_ABOUT);
    page.pfnDlgProc = about_page_proc;
    return info.pfnComPropSheet(info.hComPropSheet, CPSFUNC_ADD_PROPSHEETPAGEW,
                                reinterpret_cast<LPARAM>(&page), 0);
}

HRESULT property_sheets(PPROPSHEETUI_INFO info, LPARAM lparam, bool device_sheet) {
    if (info == nullptr || info->Version != PROPSHEETUI_INFO_VERSION)
        return fail_with(ERROR_INVALID_PARAMETER);
    ULONG_PTR result = static_cast<ULONG_PTR>(lparam);
    switch (info->Reason) {
        case PROPSHEETUI_REASON_INIT:
            if (info->pfnComPropSheet == nullptr) return fail_with(ERROR_INVALID_PARAMETER);
            result = static_cast<ULONG_PTR>(add_pages(*info, device_sheet));
            break;
        case PROPSHEETUI_REASON_GET_INFO_HEADER: {
            auto* header = reinterpret_cast<PPROPSHEETUI_INFO_HEADER>(lparam);
            if (header == nullptr) return fail_with(ERROR_INVALID_PARAMETER);
            header->pTitle = const_cast<LPWSTR>(kSheetTitle);
            result = 1;
            break;
        }
        case PROPSHEETUI_REASON_DESTROY:
            result = 1;
            break;
        case PROPSHEETUI_REASON_SET_RESULT: {
            const auto* set_result = reinterpret_cast<const SETRESULT_INFO*>(lparam);
            if (set_result == nullptr) return fail_with(ERROR_INVALID_PARAMETER);
            result = static_cast<ULONG_PTR>(set_result->Result);
            break;
        }
        case PROPSHEETUI_REASON_GET_ICON:
            result = 0;
            break;
        default:
            break;
    }
    info->Result = result;
    return S_OK;
}

}  // namespace

plugin::plugin() { object_created(); }

plugin::~plugin() {
    if (driver_ != nullptr) driver_->Release();
    driver_ = nullptr;
    object_destroyed();
}

HRESULT STDMETHODCALLTYPE plugin::GetInfo(DWORD mode, PVOID buffer, DWORD size, PDWORD needed) {
    if (needed == nullptr) return fail_with(ERROR_INVALID_PARAMETER);
    if (mode != kGetSignature && mode != kGetVersion && mode != kGetPublisherInfo) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    *needed = sizeof(DWORD);
    if (size < sizeof(DWORD) || buffer == nullptr) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    if (mode == kGetPublisherInfo) {
        *needed = 0;
        return fail_with(ERROR_NOT_SUPPORTED);
    }
    const DWORD value = mode == kGetSignature ? kSignature : kPrivateVersion;
    memcpy(buffer, &value, sizeof value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE plugin::DevMode(DWORD mode, oem_dm_param* param) {
    if (param == nullptr || mode < kDevModeSize || mode > kDevModeMerge)
        return fail_with(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const private_devmode*>(param->pOEMDMIn);
    auto* out = static_cast<private_devmode*>(param->pOEMDMOut);
    switch (mode) {
        case kDevModeSize:
            param->cbBufSize = sizeof(private_devmode);
            break;
        case kDevModeDefault:
            if (out != nullptr) write_default_devmode(out);
            break;
        case kDevModeConvert:
            convert_devmode(in, out);
            break;
        default:  // merge
            convert_devmode(in, out);
            if (out != nullptr) validate_devmode(out);
            break;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE plugin::PublishDriverInterface(IUnknown* driver) {
    if (driver_ != nullptr) return S_OK;
    if (driver == nullptr) return E_FAIL;
    void* held = nullptr;
    if (FAILED(driver->QueryInterface(kIidOemDriverUi, &held))) held = nullptr;
    driver_ = static_cast<IUnknown*>(held);
    return driver_ != nullptr ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE plugin::CommonUIProp(DWORD mode, oem_cuip_param* param) {
    if ((mode != kDocumentProperties && mode != kPrinterProperties) || param == nullptr) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    // Colour and colour matching are not this printer's to offer: hide the driver's items.
    if (param->pDrvOptItems != nullptr) {
        for (DWORD i = 0; i < param->cDrvOptItems; ++i) {
            OPTITEM& item = param->pDrvOptItems[i];
            if (is_colour_item(item.DMPubID)) item.Flags = OPTIF_HIDE | OPTIF_DISABLED;
        }
    }
    if (param->pOEMOptItems != nullptr) {
        param->OEMCUIPCallback = mode == kDocumentProperties ? document_callback : printer_callback;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE plugin::DocumentPropertySheets(PPROPSHEETUI_INFO info, LPARAM lparam) {
    return property_sheets(info, lparam, false);
}

HRESULT STDMETHODCALLTYPE plugin::DevicePropertySheets(PPROPSHEETUI_INFO info, LPARAM lparam) {
    return property_sheets(info, lparam, true);
}

HRESULT STDMETHODCALLTYPE plugin::DevQueryPrintEx(PVOID, PVOID, PDEVMODEW, PVOID) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE plugin::DeviceCapabilities(PVOID, HANDLE, PWSTR, WORD, PVOID, PDEVMODEW,
                                                     PVOID, DWORD, DWORD*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE plugin::UpgradePrinter(DWORD, PBYTE) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE plugin::PrinterEvent(PWSTR, INT, DWORD, LPARAM) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE plugin::DriverEvent(DWORD, DWORD, LPBYTE, LPARAM) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE plugin::QueryColorProfile(HANDLE, PVOID, PDEVMODEW, PVOID,
                                                    ULONG query_mode, VOID* profile,
                                                    ULONG* profile_size, ULONG* profile_flags) {
    if (query_mode != kQueryDeviceProfile) return E_FAIL;
    if (profile_size == nullptr) return fail_with(ERROR_INVALID_PARAMETER);
    if (profile == nullptr || *profile_size < kProfileBufferBytes) {
        *profile_size = kProfileBufferBytes;
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(profile, kProfileName, sizeof kProfileName);
    *profile_size = kProfileBufferBytes;
    if (profile_flags != nullptr) *profile_flags = kProfileOnDisk;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE plugin::FontInstallerDlgProc(HWND, UINT, WPARAM, LPARAM) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE plugin::UpdateExternalFonts(HANDLE, HANDLE, PWSTR) { return E_NOTIMPL; }

}  // namespace uiplug
