// The DLL's resources: the two page templates, the version resource and the manifest.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/support.h"
#include "uiplug_host.h"

namespace uiplug_test {
namespace {

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

std::string resource_bytes(HMODULE module, LPCWSTR type, LPCWSTR name) {
    HRSRC found = FindResourceExW(module, type, name, kEnglishUs);
    if (found == nullptr) return {};
    const auto* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(data, SizeofResource(module, found));
}

// Reads an extended dialog template: header, font and items.
class template_reader {
public:
    explicit template_reader(const std::string& bytes) : bytes_(bytes) {}
    WORD word() {
        WORD value = 0;
        if (at_ + 2 <= bytes_.size()) memcpy(&value, bytes_.data() + at_, 2);
        at_ += 2;
        return value;
    }
    DWORD dword() {
        const DWORD low = word();
        return low | (static_cast<DWORD>(word()) << 16);
    }
    // A string or, after 0xFFFF, an ordinal written as "#n".
    std::wstring text_or_ordinal() {
        const WORD first = word();
        if (first == 0xFFFF) return L"#" + std::to_wstring(word());
        std::wstring text;
        for (WORD c = first; c != 0; c = word()) text += static_cast<wchar_t>(c);
        return text;
    }
    void align_dword() { at_ = (at_ + 3) & ~static_cast<size_t>(3); }
    void skip(size_t bytes) { at_ += bytes; }

private:
    const std::string& bytes_;
    size_t at_ = 0;
};

struct control {
    DWORD id;
    std::wstring window_class, text;
    short x, y, cx, cy;
    DWORD style;
};

struct dialog {
    DWORD style;
    short cx, cy;
    std::wstring caption, font;
    WORD point_size;
    std::vector<control> controls;
};

dialog read_dialog(const std::string& bytes) {
    template_reader in(bytes);
    dialog d{};
    EXPECT_EQ(in.word(), 1);       // version
    EXPECT_EQ(in.word(), 0xFFFF);  // extended
    in.dword();                    // help id
    in.dword();                    // extended style
    d.style = in.dword();
    const WORD count = in.word();
    in.word();
    in.word();
    d.cx = static_cast<short>(in.word());
    d.cy = static_cast<short>(in.word());
    EXPECT_EQ(in.text_or_ordinal(), L"");  // menu
    EXPECT_EQ(in.text_or_ordinal(), L"");  // class
    d.caption = in.text_or_ordinal();
    d.point_size = in.word();
    in.word();   // weight
    in.skip(2);  // italic, charset
    d.font = in.text_or_ordinal();
    for (WORD i = 0; i < count; ++i) {
        in.align_dword();
        control c{};
        in.dword();  // help id
        in.dword();  // extended style
        c.style = in.dword();
        c.x = static_cast<short>(in.word());
        c.y = static_cast<short>(in.word());
        c.cx = static_cast<short>(in.word());
        c.cy = static_cast<short>(in.word());
        c.id = in.dword();
        c.window_class = in.text_or_ordinal();
        c.text = in.text_or_ordinal();
        in.skip(in.word());
        d.controls.push_back(c);
    }
    return d;
}

class resources : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(dll_.module(), nullptr); }
    loaded_dll dll_;
};

TEST_F(resources, page_templates) {
    constexpr DWORD kDialogStyle =
        WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS;
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
    const std::wstring kButton = L"#128", kStatic = L"#130";
    struct expected_dialog {
        WORD id;
        const wchar_t* caption;
        short cx, cy;
        std::vector<control> controls;
    };
    const expected_dialog expected[] = {
        {108,
         L"About",
         206,
         186,
         {{1008, kStatic, L"", 12, 23, 189, 48, kChild | WS_GROUP | SS_LEFT},
          {1009, kStatic, L"<printer name>", 5, 4, 196, 14,
           kChild | WS_GROUP | WS_TABSTOP | SS_CENTERIMAGE},
          {1007, kButton, L"corvix.example.com", 5, 75, 112, 14,
           kChild | WS_TABSTOP | BS_PUSHBUTTON}}},
        {109,
         L"Additional",
         205,
         186,
         {{1009, kButton, L"", 8, 6, 189, 58, kChild | BS_GROUPBOX},
          {1011, kButton, L"Additional Properties...", 78, 41, 110, 14,
           kChild | WS_TABSTOP | BS_PUSHBUTTON},
          {0xFFFFFFFF, kStatic,
           L"Click on the Additional Properties button to set additional printer properties.", 14,
           15, 177, 23, kChild | WS_GROUP | SS_LEFT}}},
    };
    for (const expected_dialog& e : expected) {
        SCOPED_TRACE(e.id);
        const std::string bytes = resource_bytes(dll_.module(), RT_DIALOG, MAKEINTRESOURCEW(e.id));
        ASSERT_FALSE(bytes.empty());
        const dialog d = read_dialog(bytes);
        EXPECT_EQ(d.style, kDialogStyle);
        EXPECT_EQ(d.caption, e.caption);
        EXPECT_EQ(d.cx, e.cx);
        EXPECT_EQ(d.cy, e.cy);
        EXPECT_EQ(d.font, L"MS Shell Dlg");
        EXPECT_EQ(d.point_size, 8);
        ASSERT_EQ(d.controls.size(), e.controls.size());
        for (size_t i = 0; i < e.controls.size(); ++i) {
            const control& got = d.controls[i];
            const control& want = e.controls[i];
            SCOPED_TRACE(testing::Message() << "control " << want.id);
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.window_class, want.window_class);
            EXPECT_EQ(got.text, want.text);
            EXPECT_EQ(got.x, want.x);
            EXPECT_EQ(got.y, want.y);
            EXPECT_EQ(got.cx, want.cx);
            EXPECT_EQ(got.cy, want.cy);
            EXPECT_EQ(got.style, want.style) << std::hex << got.style << " " << want.style;
        }
    }
}

TEST_F(resources, version_resource) {
    const std::wstring path = loaded_dll::default_path();
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags, 0u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0000);
    EXPECT_EQ(translation[1], 0x04B0);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"FileDescription", L"Driver UI DLL"},
        {L"FileVersion", L"1.00"},
        {L"ProductName", L"Corvix TIF Printer"},
        {L"ProductVersion", L"1.00"},
        {L"CompanyName", L""},
        {L"InternalName", L""},
        {L"LegalCopyright", L""},
        {L"OriginalFilename", L""},
    };
    for (const auto& s : strings) {
        SCOPED_TRACE(test_support::to_narrow(s.first));
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\000004b0\\") + s.first;
        ASSERT_TRUE(
            VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length));
        EXPECT_EQ(std::wstring(value, wcsnlen(value, length)), s.second);
    }
}

TEST_F(resources, manifest_asks_for_common_controls_6) {
#ifdef _WIN64
    const std::string arch = "processorArchitecture=\"amd64\"";
#else
    const std::string arch = "processorArchitecture=\"x86\"";
#endif
    const std::string manifest = resource_bytes(dll_.module(), RT_MANIFEST, MAKEINTRESOURCEW(2));
    ASSERT_FALSE(manifest.empty());
    for (const std::string& part :
         {std::string("version=\"5.1.0.0\""),
          std::string("<description>Virtual printer driver UI module</description>"),
          std::string("name=\"Microsoft.Windows.Common-Controls\""),
          std::string("version=\"6.0.0.0\""), std::string("publicKeyToken=\"6595b64144ccf1df\""),
          std::string("language=\"*\"")}) {
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
    }
    const size_t first = manifest.find(arch);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(manifest.find(arch, first + 1), std::string::npos)
        << "both identities name the architecture";
}

}  // namespace
}  // namespace uiplug_test
