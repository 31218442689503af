// The plug-in object's answers to the printer driver.
#include <gtest/gtest.h>

#include <string.h>

#include "uiplug_host.h"

namespace uiplug_test {
namespace {

constexpr DWORD kSignature = 0x4D534654;
constexpr DWORD kUntouched = 0xA5A5A5A5;

struct devmode16 {
    DWORD size;
    DWORD signature;
    DWORD version;
    LONG value;
};

class plugin_object : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(dll_.module(), nullptr);
        plugin_ = dll_.create_plugin();
        ASSERT_TRUE(plugin_);
    }

    // Runs a call that fails, and returns the last-error value it left.
    template <typename Call>
    DWORD failure_code(Call call) {
        SetLastError(0);
        const HRESULT result = call();
        EXPECT_EQ(result, E_FAIL);
        return GetLastError();
    }

    loaded_dll dll_;
    com_ptr<uiplug::oem_ui_interface> plugin_;
};

TEST_F(plugin_object, get_info) {
    struct row {
        const char* name;
        DWORD mode;
        DWORD buffer_size;
        bool null_buffer;
        HRESULT result;
        DWORD error;
        DWORD needed;
        DWORD value;
    };
    const row rows[] = {
        {"signature", 1, 4, false, S_OK, 0, 4, kSignature},
        {"version", 3, 8, false, S_OK, 0, 4, 1},
        {"interface version is not offered", 2, 4, false, E_FAIL, ERROR_INVALID_PARAMETER,
         kUntouched, kUntouched},
        {"unknown mode", 5, 4, false, E_FAIL, ERROR_INVALID_PARAMETER, kUntouched, kUntouched},
        {"3-byte buffer", 1, 3, false, E_FAIL, ERROR_INSUFFICIENT_BUFFER, 4, kUntouched},
        {"no buffer", 3, 4, true, E_FAIL, ERROR_INSUFFICIENT_BUFFER, 4, kUntouched},
        {"publisher info", 4, 64, false, E_FAIL, ERROR_NOT_SUPPORTED, 0, kUntouched},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        DWORD buffer[16];
        for (DWORD& d : buffer) d = kUntouched;
        DWORD needed = kUntouched;
        SetLastError(0);
        EXPECT_EQ(
            plugin_->GetInfo(r.mode, r.null_buffer ? nullptr : buffer, r.buffer_size, &needed),
            r.result);
        if (r.result == E_FAIL) {
            EXPECT_EQ(GetLastError(), r.error);
        }
        EXPECT_EQ(needed, r.needed);
        EXPECT_EQ(buffer[0], r.value);
        EXPECT_EQ(buffer[1], kUntouched);
    }
    EXPECT_EQ(failure_code([&] { return plugin_->GetInfo(1, nullptr, 4, nullptr); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(plugin_object, dev_mode_size_and_default) {
    uiplug::oem_dm_param param{};
    EXPECT_EQ(plugin_->DevMode(1, &param), S_OK);
    EXPECT_EQ(param.cbBufSize, 16u);

    devmode16 out = {7, 7, 7, 7};
    param.pOEMDMOut = &out;
    EXPECT_EQ(plugin_->DevMode(2, &param), S_OK);
    EXPECT_EQ(out.size, 16u);
    EXPECT_EQ(out.signature, kSignature);
    EXPECT_EQ(out.version, 1u);
    EXPECT_EQ(out.value, 0);

    EXPECT_EQ(failure_code([&] { return plugin_->DevMode(5, &param); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure_code([&] { return plugin_->DevMode(0, &param); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(failure_code([&] { return plugin_->DevMode(1, nullptr); }),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(plugin_object, dev_mode_convert_and_merge) {
    constexpr DWORD kOther = 0x12345678;
    struct row {
        const char* name;
        DWORD mode;
        devmode16 in;
        devmode16 out;
        devmode16 expected;
    };
    const row rows[] = {
        {"merge keeps 100",
         4,
         {16, kSignature, 1, 100},
         {16, kSignature, 1, 0},
         {16, kSignature, 1, 100}},
        {"merge resets 101",
         4,
         {16, kSignature, 1, 101},
         {16, kSignature, 1, 0},
         {16, kSignature, 1, 0}},
        {"merge keeps -5",
         4,
         {16, kSignature, 1, -5},
         {16, kSignature, 1, 0},
         {16, kSignature, 1, -5}},
        {"convert keeps 101",
         3,
         {16, kSignature, 1, 101},
         {16, kSignature, 1, 0},
         {16, kSignature, 1, 101}},
        {"foreign input gives the default",
         3,
         {16, kOther, 9, 55},
         {16, kSignature, 1, 42},
         {16, kSignature, 1, 0}},
        {"foreign output gives the default",
         4,
         {16, kSignature, 1, 55},
         {16, kOther, 3, 42},
         {16, kSignature, 1, 0}},
        {"12-byte input copies only the header",
         3,
         {12, kSignature, 7, 55},
         {16, kSignature, 1, 42},
         {16, kSignature, 1, 0}},
        {"12-byte output copies only the header",
         3,
         {16, kSignature, 7, 55},
         {12, kSignature, 1, 42},
         {16, kSignature, 1, 0}},
        {"claimed sizes beyond 16 copy 16 bytes",
         3,
         {4096, kSignature, 7, 55},
         {4096, kSignature, 1, 0},
         {16, kSignature, 1, 55}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        // A guard after the output shows that nothing beyond its 16 bytes is written.
        struct {
            devmode16 devmode;
            DWORD guard;
        } out = {r.out, kUntouched};
        devmode16 in = r.in;
        uiplug::oem_dm_param param{};
        param.pOEMDMIn = &in;
        param.pOEMDMOut = &out.devmode;
        EXPECT_EQ(plugin_->DevMode(r.mode, &param), S_OK);
        EXPECT_EQ(memcmp(&out.devmode, &r.expected, sizeof r.expected), 0)
            << out.devmode.size << " " << std::hex << out.devmode.signature << " "
            << out.devmode.version << " " << std::dec << out.devmode.value;
        EXPECT_EQ(out.guard, kUntouched);
    }

    uiplug::oem_dm_param no_buffers{};
    EXPECT_EQ(plugin_->DevMode(3, &no_buffers), S_OK);
    EXPECT_EQ(plugin_->DevMode(4, &no_buffers), S_OK);
}

TEST_F(plugin_object, common_ui_prop_hides_the_colour_items) {
    constexpr DWORD kOtherFlags = OPTIF_CALLBACK | OPTIF_CHANGED;
    const BYTE ids[] = {DMPUB_COLOR, DMPUB_DUPLEX, DMPUB_ICMMETHOD, DMPUB_ICMINTENT,
                        DMPUB_ORIENTATION};
    const DWORD expected[] = {0x22, kOtherFlags, 0x22, 0x22, kOtherFlags};
    for (DWORD mode : {1u, 2u, 3u}) {
        SCOPED_TRACE(mode);
        OPTITEM items[5]{};
        for (int i = 0; i < 5; ++i) {
            items[i].DMPubID = ids[i];
            items[i].Flags = kOtherFlags;
        }
        OPTITEM oem_items[1]{};
        uiplug::oem_cuip_param param{};
        param.pDrvOptItems = items;
        param.cDrvOptItems = 5;
        param.pOEMOptItems = oem_items;
        if (mode == 3) {
            EXPECT_EQ(failure_code([&] { return plugin_->CommonUIProp(mode, &param); }),
                      static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        } else {
            EXPECT_EQ(plugin_->CommonUIProp(mode, &param), S_OK);
        }
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(items[i].Flags, mode == 3 ? kOtherFlags : expected[i]) << i;
        EXPECT_EQ(param.cOEMOptItems, 0u);
        EXPECT_EQ(param.OEMCUIPCallback != nullptr, mode != 3);
    }
}

TEST_F(plugin_object, common_ui_prop_callbacks_by_sheet) {
    struct row {
        DWORD mode;
        WORD reason;
        LONG result;
    };
    const row rows[] = {
        {1, CPSUICB_REASON_SETACTIVE, 1},   {1, CPSUICB_REASON_KILLACTIVE, 0},
        {1, CPSUICB_REASON_SEL_CHANGED, 0}, {2, CPSUICB_REASON_SETACTIVE, 0},
        {2, CPSUICB_REASON_APPLYNOW, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.mode << "/" << r.reason);
        OPTITEM oem_items[1]{};
        uiplug::oem_cuip_param param{};
        param.pOEMOptItems = oem_items;
        ASSERT_EQ(plugin_->CommonUIProp(r.mode, &param), S_OK);
        ASSERT_NE(param.OEMCUIPCallback, nullptr);
        CPSUICBPARAM callback{};
        callback.cbSize = sizeof callback;
        callback.Reason = r.reason;
        EXPECT_EQ(param.OEMCUIPCallback(&callback, &param), r.result);
    }

    // Without option items of the plug-in's own there is no callback to install.
    uiplug::oem_cuip_param param{};
    EXPECT_EQ(plugin_->CommonUIProp(1, &param), S_OK);
    EXPECT_EQ(param.OEMCUIPCallback, nullptr);
}

TEST_F(plugin_object, sheet_reasons_set_the_result) {
    SETRESULT_INFO set_result{};
    set_result.cbSize = sizeof set_result;
    set_result.Result = 77;
    PROPSHEETUI_INFO_HEADER header{};
    header.cbSize = sizeof header;
    struct row {
        const char* name;
        WORD reason;
        LPARAM lparam;
        ULONG_PTR result;
    };
    const row rows[] = {
        {"info header", PROPSHEETUI_REASON_GET_INFO_HEADER, reinterpret_cast<LPARAM>(&header), 1},
        {"destroy", PROPSHEETUI_REASON_DESTROY, 5, 1},
        {"set result", PROPSHEETUI_REASON_SET_RESULT, reinterpret_cast<LPARAM>(&set_result), 77},
        {"icon", PROPSHEETUI_REASON_GET_ICON, 5, 0},
        {"unknown reason", 5, 1234, 1234},
    };
    for (bool device : {false, true}) {
        for (const row& r : rows) {
            SCOPED_TRACE(testing::Message() << (device ? "device " : "document ") << r.name);
            page_collector collector;
            PROPSHEETUI_INFO info = collector.info(r.reason);
            info.Result = 999;
            const HRESULT result = device ? plugin_->DevicePropertySheets(&info, r.lparam)
                                          : plugin_->DocumentPropertySheets(&info, r.lparam);
            EXPECT_EQ(result, S_OK);
            EXPECT_EQ(info.Result, r.result);
            EXPECT_TRUE(collector.pages.empty());
        }
        ASSERT_NE(header.pTitle, nullptr);
        EXPECT_STREQ(header.pTitle, L"OEM UI Page");

        page_collector collector;
        PROPSHEETUI_INFO info = collector.info(PROPSHEETUI_REASON_DESTROY);
        info.Version = 0x0101;
        info.Result = 999;
        EXPECT_EQ(failure_code([&] {
                      return device ? plugin_->DevicePropertySheets(&info, 0)
                                    : plugin_->DocumentPropertySheets(&info, 0);
                  }),
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(info.Result, 999u);
        EXPECT_EQ(failure_code([&] {
                      return device ? plugin_->DevicePropertySheets(nullptr, 0)
                                    : plugin_->DocumentPropertySheets(nullptr, 0);
                  }),
                  static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST_F(plugin_object, query_color_profile) {
    constexpr wchar_t kProfile[] = L"OEMPROFILE.icm";
    struct row {
        const char* name;
        ULONG mode;
        bool null_buffer;
        ULONG size;
        HRESULT result;
        DWORD error;
        ULONG size_after;
        ULONG flags_after;
    };
    const row rows[] = {
        {"device profile", 0, false, 64, S_OK, 0, 32, 2},
        {"exactly 32 bytes", 0, false, 32, S_OK, 0, 32, 2},
        {"31-byte buffer", 0, false, 31, E_FAIL, ERROR_INSUFFICIENT_BUFFER, 32, kUntouched},
        {"no buffer", 0, true, 64, E_FAIL, ERROR_INSUFFICIENT_BUFFER, 32, kUntouched},
        {"other query mode", 1, false, 64, E_FAIL, 0, 64, kUntouched},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        BYTE buffer[64];
        memset(buffer, 0xA5, sizeof buffer);
        ULONG size = r.size;
        ULONG flags = kUntouched;
        SetLastError(0);
        EXPECT_EQ(plugin_->QueryColorProfile(nullptr, nullptr, nullptr, nullptr, r.mode,
                                             r.null_buffer ? nullptr : buffer, &size, &flags),
                  r.result);
        EXPECT_EQ(GetLastError(), r.error);
        EXPECT_EQ(size, r.size_after);
        EXPECT_EQ(flags, r.flags_after);
        if (r.result == S_OK) {
            EXPECT_EQ(memcmp(buffer, kProfile, sizeof kProfile), 0);
            EXPECT_EQ(buffer[sizeof kProfile], 0xA5)
                << "only the name and its terminator are written";
        } else {
            EXPECT_EQ(buffer[0], 0xA5);
        }
    }
}

TEST_F(plugin_object, unimplemented_operations) {
    DWORD result = kUntouched;
    SetLastError(kUntouched);
    EXPECT_EQ(plugin_->DevQueryPrintEx(nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(plugin_->DeviceCapabilities(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                          0, &result),
              E_NOTIMPL);
    EXPECT_EQ(plugin_->UpgradePrinter(1, nullptr), E_NOTIMPL);
    EXPECT_EQ(plugin_->PrinterEvent(nullptr, 0, 0, 0), E_NOTIMPL);
    EXPECT_EQ(plugin_->DriverEvent(0, 0, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(plugin_->FontInstallerDlgProc(nullptr, 0, 0, 0), E_NOTIMPL);
    EXPECT_EQ(plugin_->UpdateExternalFonts(nullptr, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(result, kUntouched);
    EXPECT_EQ(GetLastError(), kUntouched);
}

// A driver object that counts what the plug-in asks of it and what it still holds.
class fake_driver final : public IUnknown {
public:
    explicit fake_driver(bool offers_interface) : offers_(offers_interface) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        ++queries;
        if (offers_ && riid == uiplug::kIidOemDriverUi) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }

    int queries = 0;
    LONG references = 1;

private:
    bool offers_;
};

TEST_F(plugin_object, publish_driver_interface_holds_it_until_destroyed) {
    fake_driver refusing(false);
    EXPECT_EQ(plugin_->PublishDriverInterface(&refusing), E_FAIL);
    EXPECT_EQ(refusing.queries, 1);

    fake_driver driver(true);
    EXPECT_EQ(plugin_->PublishDriverInterface(&driver), S_OK);
    EXPECT_EQ(driver.references, 2);
    EXPECT_EQ(plugin_->PublishDriverInterface(&driver), S_OK);
    EXPECT_EQ(driver.queries, 1) << "a second call does not ask again";
    EXPECT_EQ(driver.references, 2);

    plugin_.reset();
    EXPECT_EQ(driver.references, 1);
    EXPECT_EQ(refusing.references, 1);
    EXPECT_EQ(dll_.can_unload_now(), S_OK);
}

}  // namespace
}  // namespace uiplug_test
