// The dialog templates as stored in the DLL: every caption, size, style and
// control, and the Japanese texts intact after the resource compiler.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "PluginDialogs.h"
#include "common/TestPaths.h"

namespace {

struct Control {
    int id;
    std::wstring kind;  // window class
    std::wstring text;
    short x, y, cx, cy;
    DWORD style;
};

struct Template {
    std::wstring caption;
    std::wstring font;
    WORD pointSize;
    short cx, cy;
    DWORD style, exStyle;
    std::vector<Control> controls;
};

class Reader {
public:
    Reader(const BYTE* data, size_t size) : m_data(data), m_size(size) {}
    template <typename T>
    T Get() {
        T value{};
        if (m_pos + sizeof(T) <= m_size) memcpy(&value, m_data + m_pos, sizeof(T));
        m_pos += sizeof(T);
        return value;
    }
    std::wstring Text() {
        std::wstring text;
        for (WORD c = Get<WORD>(); c != 0 && m_pos <= m_size; c = Get<WORD>()) text += static_cast<wchar_t>(c);
        return text;
    }
    // A name or an ordinal (0xFFFF followed by the number).
    std::wstring NameOrOrdinal() {
        const WORD first = Get<WORD>();
        if (first == 0xFFFF) return L"#" + std::to_wstring(Get<WORD>());
        m_pos -= 2;
        return Text();
    }
    void AlignDword() { m_pos = (m_pos + 3) & ~static_cast<size_t>(3); }
    void Skip(size_t n) { m_pos += n; }

private:
    const BYTE* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

std::wstring ClassOf(const std::wstring& nameOrOrdinal) {
    if (nameOrOrdinal == L"#128") return L"Button";
    if (nameOrOrdinal == L"#129") return L"Edit";
    if (nameOrOrdinal == L"#130") return L"Static";
    if (nameOrOrdinal == L"#133") return L"ComboBox";
    return nameOrOrdinal;
}

bool LoadTemplate(int id, Template& out) {
    HRSRC found = ::FindResourceW(ui_test::PluginDll(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));
    if (!found) return false;
    const auto* data = static_cast<const BYTE*>(::LockResource(::LoadResource(ui_test::PluginDll(), found)));
    Reader r(data, ::SizeofResource(ui_test::PluginDll(), found));
    if (r.Get<WORD>() != 1 || r.Get<WORD>() != 0xFFFF) return false;  // DLGTEMPLATEEX
    r.Get<DWORD>();
    out.exStyle = r.Get<DWORD>();
    out.style = r.Get<DWORD>();
    const WORD count = r.Get<WORD>();
    r.Get<short>();
    r.Get<short>();
    out.cx = r.Get<short>();
    out.cy = r.Get<short>();
    r.NameOrOrdinal();  // menu
    r.NameOrOrdinal();  // class
    out.caption = r.Text();
    out.pointSize = r.Get<WORD>();
    r.Get<WORD>();
    r.Get<BYTE>();
    r.Get<BYTE>();
    out.font = r.Text();
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        Control c;
        r.Get<DWORD>();
        r.Get<DWORD>();
        c.style = r.Get<DWORD>();
        c.x = r.Get<short>();
        c.y = r.Get<short>();
        c.cx = r.Get<short>();
        c.cy = r.Get<short>();
        c.id = static_cast<int>(r.Get<DWORD>());
        c.kind = ClassOf(r.NameOrOrdinal());
        c.text = r.NameOrOrdinal();
        r.Skip(r.Get<WORD>());
        out.controls.push_back(c);
    }
    return true;
}

// Kinds of control, as the style bits that make them.
constexpr DWORD kEdit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kCombo = CBS_DROPDOWNLIST | WS_TABSTOP;
constexpr DWORD kStatic = SS_LEFT;

void ExpectControls(const Template& t, const std::vector<Control>& expected) {
    ASSERT_EQ(t.controls.size(), expected.size()) << "controls of " << tessaran_test::ToUtf8(t.caption);
    for (size_t i = 0; i < expected.size(); ++i) {
        const Control& a = t.controls[i];
        const Control& e = expected[i];
        SCOPED_TRACE("control " + std::to_string(e.id) + " " + tessaran_test::ToUtf8(e.text));
        EXPECT_EQ(a.id, e.id);
        // The resource compiler may store class names in capitals; they match regardless.
        EXPECT_EQ(::lstrcmpiW(a.kind.c_str(), e.kind.c_str()), 0) << tessaran_test::ToUtf8(a.kind);
        EXPECT_EQ(a.text, e.text);
        EXPECT_EQ(a.x, e.x);
        EXPECT_EQ(a.y, e.y);
        EXPECT_EQ(a.cx, e.cx);
        EXPECT_EQ(a.cy, e.cy);
        EXPECT_EQ(a.style & e.style, e.style) << std::hex << a.style;
        EXPECT_TRUE(a.style & WS_VISIBLE);
        if (e.kind == L"Edit") {
            EXPECT_FALSE(a.style & ES_PASSWORD) << "the token is shown in clear";
        }
        // A static's kind is a number in its low bits, not a flag: SS_LEFT is 0.
        if (e.kind == L"Static") {
            EXPECT_EQ(a.style & SS_TYPEMASK, e.style & SS_TYPEMASK) << std::hex << a.style;
        }
        if (e.kind == L"Button" && (e.style & 0xF) == BS_PUSHBUTTON) {
            EXPECT_EQ(a.style & 0xF, 0u);
        }
    }
}

void ExpectFrame(const Template& t, const wchar_t* caption, short cx, short cy, bool systemMenu, bool help) {
    EXPECT_EQ(t.caption, caption);
    EXPECT_EQ(t.font, L"Meiryo UI");
    EXPECT_EQ(t.pointSize, 9);
    EXPECT_EQ(t.cx, cx);
    EXPECT_EQ(t.cy, cy);
    const DWORD frame = WS_POPUP | WS_CAPTION | DS_MODALFRAME;
    EXPECT_EQ(t.style & frame, frame);
    EXPECT_EQ((t.style & WS_SYSMENU) != 0, systemMenu);
    EXPECT_EQ((t.exStyle & WS_EX_CONTEXTHELP) != 0, help);
}

TEST(Templates, SettingsDialog201) {
    Template t;
    ASSERT_TRUE(LoadTemplate(201, t));
    ExpectFrame(t, L"詳細設定", 222, 222, true, true);
    ExpectControls(t, {
        {201, L"Button", L"アカウント設定", 7, 7, 208, 114, BS_GROUPBOX},
        {202, L"Static", L"アカウントを登録すると、アップロード時に入力する必要がなくなります。", 11, 20, 196, 11, kStatic},
        {203, L"Static", L"メールアドレス(&M):", 11, 38, 112, 10, kStatic},
        {1002, L"Edit", L"", 11, 48, 200, 14, kEdit},
        {204, L"Static", L"アプリケーショントークン(&A):", 11, 71, 112, 10, kStatic},
        {1003, L"Edit", L"", 11, 80, 200, 14, kEdit},
        {1000, L"Button", L"アカウント情報(&S)...", 142, 102, 69, 14, BS_PUSHBUTTON | WS_TABSTOP},
        {205, L"Button", L"アップロード設定", 7, 129, 208, 67, BS_GROUPBOX},
        {1006, L"Button", L"偶数ページを裏面として登録する(&E)", 11, 141, 188, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
        {206, L"Static", L"奇数ページOCR言語(&F):", 11, 160, 81, 11, kStatic},
        {1005, L"ComboBox", L"", 105, 159, 106, 51, kCombo},
        {207, L"Static", L"偶数ページOCR言語(&B):", 11, 178, 81, 11, kStatic},
        {1007, L"ComboBox", L"", 105, 177, 106, 51, kCombo},
        {1, L"Button", L"OK", 111, 201, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {2, L"Button", L"キャンセル", 165, 201, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    });
}

TEST(Templates, AccountStatusDialog202) {
    Template t;
    ASSERT_TRUE(LoadTemplate(202, t));
    ExpectFrame(t, L"登録情報", 220, 76, true, false);
    ExpectControls(t, {
        {-1, L"Static", L"メールアドレス:", 8, 8, 54, 10, kStatic},
        {1007, L"Static", L"-", 71, 8, 127, 10, kStatic},
        {-1, L"Static", L"ユーザー名:", 8, 22, 54, 10, kStatic},
        {1008, L"Static", L"-", 71, 22, 127, 10, kStatic},
        {-1, L"Static", L"登録名刺数:", 8, 36, 54, 10, kStatic},
        {1009, L"Static", L"- / -", 71, 36, 127, 10, kStatic},
        {-1, L"Static", L"", 7, 50, 206, 1, SS_ETCHEDHORZ},
        {1, L"Button", L"OK", 163, 55, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    });
}

TEST(Templates, ProgressDialog203) {
    Template t;
    ASSERT_TRUE(LoadTemplate(203, t));
    ExpectFrame(t, L"進捗状況", 217, 63, true, false);
    ExpectControls(t, {
        {201, L"Static", L"送信中...", 7, 10, 203, 9, kStatic},
        {202, L"msctls_progress32", L"", 8, 23, 202, 12, PBS_SMOOTH | WS_BORDER},
        {207, L"Button", L"キャンセル", 160, 42, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    });
}

TEST(Templates, LogonDialog204) {
    Template t;
    ASSERT_TRUE(LoadTemplate(204, t));
    ExpectFrame(t, L"ログオン", 222, 111, false, false);
    ExpectControls(t, {
        {202, L"Static", L"ログオン情報を入力してください。", 7, 7, 208, 11, kStatic},
        {203, L"Static", L"メールアドレス(&M):", 11, 21, 112, 10, kStatic},
        {1002, L"Edit", L"", 11, 31, 200, 14, kEdit},
        {204, L"Static", L"アプリケーショントークン(&A):", 11, 54, 112, 10, kStatic},
        {1003, L"Edit", L"", 11, 63, 200, 14, kEdit},
        {-1, L"Static", L"", 7, 84, 208, 1, SS_ETCHEDHORZ},
        {1, L"Button", L"OK", 111, 90, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {2, L"Button", L"キャンセル", 165, 90, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    });
}

TEST(Templates, UploadResultDialog205) {
    Template t;
    ASSERT_TRUE(LoadTemplate(205, t));
    ExpectFrame(t, L"送信結果", 284, 193, true, true);
    ExpectControls(t, {
        {201, L"Static", L"送信に失敗したファイルがあります。ファイルの処理方法を選択してください。", 7, 7, 262, 16, kStatic},
        {202, L"Static", L"ファイル一覧(&L):", 8, 25, 135, 10, kStatic},
        {1026, L"SysListView32", L"", 7, 35, 270, 81, LVS_REPORT | WS_BORDER | WS_TABSTOP},
        {1027, L"Button", L"再試行(&R)", 8, 128, 72, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {1028, L"Button", L"保存(&S)...", 8, 150, 72, 14, BS_PUSHBUTTON | WS_TABSTOP},
        {1029, L"Button", L"終了(&C)", 8, 172, 72, 14, BS_PUSHBUTTON | WS_TABSTOP},
        {203, L"Static", L"設定を変更し、再送信します。", 89, 132, 160, 16, kStatic},
        {204, L"Static", L"ファイルをローカルフォルダーへ保存します。", 89, 153, 160, 16, kStatic},
        {205, L"Static", L"処理を終了します。", 89, 176, 188, 8, kStatic},
    });
}

TEST(Templates, DocumentPageBitmap204) {
    HRSRC found = ::FindResourceW(ui_test::PluginDll(), MAKEINTRESOURCEW(204), MAKEINTRESOURCEW(2));
    ASSERT_NE(found, nullptr);
    const auto* info = static_cast<const BITMAPINFOHEADER*>(
        ::LockResource(::LoadResource(ui_test::PluginDll(), found)));
    EXPECT_EQ(info->biWidth, 24);
    EXPECT_EQ(info->biHeight, 24);
    EXPECT_EQ(info->biBitCount, 4);  // 16 colours
}

}  // namespace
