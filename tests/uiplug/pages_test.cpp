// The "Additional" and "About" pages, shown in a real property sheet.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

#include "support/support.h"
#include "uiplug_host.h"

namespace uiplug_test {
namespace {

constexpr int kAdditional = 0;
constexpr int kAbout = 1;
constexpr wchar_t kMakerLines[] = L"\n\nFerrowick\nCorvix Development";

class pages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(dll_.module(), nullptr); }

    product_key key_;
    loaded_dll dll_;
};

TEST_F(pages, each_sheet_adds_additional_then_about) {
    // The device sheet first: the document sheet must not pick up its context later.
    for (bool device : {true, false}) {
        SCOPED_TRACE(device ? "device sheet" : "document sheet");
        page_collector collector;
        const com_ptr<uiplug::oem_ui_interface> plugin = dll_.create_plugin();
        PROPSHEETUI_INFO info = collector.info(PROPSHEETUI_REASON_INIT);
        ASSERT_EQ(device ? plugin->DevicePropertySheets(&info, 0)
                         : plugin->DocumentPropertySheets(&info, 0),
                  S_OK);
        EXPECT_EQ(info.Result, 101u) << "the About page's answer";
        ASSERT_EQ(collector.pages.size(), 2u);
        const WORD templates[] = {109, 108};
        for (int i = 0; i < 2; ++i) {
            const PROPSHEETPAGEW& page = collector.pages[i];
            EXPECT_EQ(page.dwSize, sizeof(PROPSHEETPAGEW));
            EXPECT_EQ(reinterpret_cast<ULONG_PTR>(page.pszTemplate), templates[i]);
            EXPECT_EQ(page.hInstance, dll_.module());
            EXPECT_NE(page.pfnDlgProc, nullptr);
            EXPECT_EQ(page.pszTitle, nullptr);
            EXPECT_EQ(page.lParam, 0);
            EXPECT_EQ(page.pfnCallback, nullptr);
            if (device) {
                EXPECT_EQ(page.dwFlags, static_cast<DWORD>(PSP_USEFUSIONCONTEXT));
                EXPECT_NE(page.hActCtx, nullptr);
                EXPECT_NE(page.hActCtx, INVALID_HANDLE_VALUE);
            } else {
                EXPECT_EQ(page.dwFlags, 0u);
                EXPECT_EQ(page.hActCtx, nullptr);
            }
        }
        EXPECT_NE(collector.pages[0].pfnDlgProc, collector.pages[1].pfnDlgProc);
    }
#ifndef _WIN64
    EXPECT_EQ(sizeof(PROPSHEETPAGEW), 52u);
#endif
}

TEST_F(pages, about_texts_follow_the_product_key) {
    const std::wstring version_259(259, L'7');  // fits the 520-byte read, not the About text
    const std::wstring version_260(260, L'8');  // one unit too long for the read
    struct row {
        const char* name;
        std::wstring version, contact, button;  // empty: value absent
        std::wstring about_text, button_text;
    };
    const row rows[] = {
        {"no product key", L"", L"", L"", L"Version 1.00" + std::wstring(kMakerLines),
         L"corvix.example.com"},
        {"version 2.5", L"2.5", L"", L"", L"Version 2.5" + std::wstring(kMakerLines),
         L"corvix.example.com"},
        {"one ampersand is doubled", L"R&D", L"", L"", L"Version R&&D" + std::wstring(kMakerLines),
         L"corvix.example.com"},
        {"only the first ampersand is doubled", L"X&Y&Z", L"", L"",
         L"Version X&&Y&Z" + std::wstring(kMakerLines), L"corvix.example.com"},
        {"long version is cut to fit", version_259, L"", L"",
         L"Version " + version_259.substr(0, 221) + kMakerLines, L"corvix.example.com"},
        {"too long for the read counts as missing", version_260, L"", L"",
         L"Version 1.00" + std::wstring(kMakerLines), L"corvix.example.com"},
        {"contact information replaces the text", L"2.5", L"Sales & Co\\nSupport\\n\\nEnd", L"",
         L"Sales & Co\nSupport\n\nEnd", L"corvix.example.com"},
        {"button text", L"", L"", L"Visit R&D", L"Version 1.00" + std::wstring(kMakerLines),
         L"Visit R&D"},
    };
    shown_sheet sheet(collect_pages(dll_, false));
    ASSERT_NE(sheet.window(), nullptr);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        product_key key;
        if (!r.version.empty()) key.set(L"Version", r.version);
        if (!r.contact.empty()) key.set(L"About: Contact Information", r.contact);
        if (!r.button.empty()) key.set(L"About: Button Text", r.button);

        // A fresh About page reads the key when it is first shown.
        const HWND about = sheet.show_page(sheet.add_page(collect_pages(dll_, false)[kAbout]));
        ASSERT_NE(about, nullptr);
        EXPECT_EQ(control_text(about, 1009), L"Corvix TIF Printer");
        EXPECT_EQ(control_text(about, 1008), r.about_text);
        EXPECT_EQ(control_text(about, 1007), r.button_text);
    }
}

TEST_F(pages, banner_is_painted_by_the_plugin) {
    shown_sheet sheet(collect_pages(dll_, true));
    const HWND about = sheet.show_page(kAbout);
    ASSERT_NE(about, nullptr);
    const HWND banner = GetDlgItem(about, 1009);
    ASSERT_NE(banner, nullptr);
    wchar_t class_name[32] = L"";
    GetClassNameW(banner, class_name, 32);
    EXPECT_EQ(_wcsicmp(class_name, L"Static"), 0);
    const WNDPROC proc = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(banner, GWLP_WNDPROC));
    MEMORY_BASIC_INFORMATION memory{};
    ASSERT_NE(VirtualQuery(reinterpret_cast<const void*>(proc), &memory, sizeof memory), 0u);
    EXPECT_EQ(memory.AllocationBase, reinterpret_cast<void*>(dll_.module()));
}

// The stand-in configuration program signals this event when it starts.
class cfgpanel_event {
public:
    cfgpanel_event()
        : event_(CreateEventW(nullptr, TRUE, FALSE, L"uiplug_test_cfgpanel_started")) {}
    ~cfgpanel_event() { CloseHandle(event_); }
    bool wait(DWORD ms) const { return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0; }

private:
    HANDLE event_;
};

bool copy_beside(const std::wstring& file, const std::wstring& to_dir, const std::wstring& as) {
    return CopyFileW(test_support::beside_exe(file).c_str(), (to_dir + L"\\" + as).c_str(),
                     FALSE) != FALSE;
}

// Clicks "Additional Properties..." on the pages of a DLL loaded from dir.
void click_additional_properties(const std::wstring& dir) {
    const loaded_dll dll(dir + L"\\uiplug.dll");
    ASSERT_NE(dll.module(), nullptr) << GetLastError();
    shown_sheet sheet(collect_pages(dll, false));
    const HWND additional = sheet.show_page(kAdditional);
    ASSERT_NE(additional, nullptr);
    const HWND button = GetDlgItem(additional, 1011);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(control_text(additional, 1011), L"Additional Properties...");
    SendMessageW(button, BM_CLICK, 0, 0);
    pump_messages();
}

TEST_F(pages, additional_properties_starts_cfgpanel_beside_the_dll) {
    const test_support::scratch_dir dir(L"uiplug_cfgpanel");
    ASSERT_TRUE(copy_beside(L"uiplug.dll", dir.path(), L"uiplug.dll"));
    ASSERT_TRUE(copy_beside(L"cfgpanel.exe", dir.path(), L"cfgpanel.exe"));
    const cfgpanel_event started;
    click_additional_properties(dir.path());
    ASSERT_TRUE(started.wait(20000));

    // Started with no arguments: its command line is its own path and nothing else.
    const std::string ran = test_support::read_file(dir.file(L"cfgpanel.ran"));
    const std::wstring command_line(reinterpret_cast<const wchar_t*>(ran.data()),
                                    ran.size() / sizeof(wchar_t));
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(command_line.c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 1) << test_support::to_narrow(command_line);
    EXPECT_EQ(_wcsicmp(argv[0], dir.file(L"cfgpanel.exe").c_str()), 0)
        << test_support::to_narrow(argv[0]);
    LocalFree(argv);
}

TEST_F(pages, additional_properties_starts_nothing_it_cannot_find) {
    const cfgpanel_event started;
    {
        SCOPED_TRACE("no cfgpanel.exe beside the DLL");
        const test_support::scratch_dir dir(L"uiplug_no_cfgpanel");
        ASSERT_TRUE(copy_beside(L"uiplug.dll", dir.path(), L"uiplug.dll"));
        click_additional_properties(dir.path());
        EXPECT_FALSE(started.wait(1500));
    }
    {
        // 248 units of directory: the DLL's path fits MAX_PATH, the program's would not.
        SCOPED_TRACE("directory too long for the program's name");
        const test_support::scratch_dir base(L"uiplug_long");
        std::wstring dir = base.path() + L"\\";
        dir += std::wstring(247 - dir.size(), L'd');
        ASSERT_EQ(dir.size(), 247u);
        ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
        ASSERT_TRUE(copy_beside(L"uiplug.dll", dir, L"uiplug.dll"));
        // What a path cut to MAX_PATH would name.
        ASSERT_TRUE(copy_beside(L"cfgpanel.exe", dir, L"cfgpanel.ex"));
        click_additional_properties(dir);
        EXPECT_FALSE(started.wait(1500));
    }
}

}  // namespace
}  // namespace uiplug_test
