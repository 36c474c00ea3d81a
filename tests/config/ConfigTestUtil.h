// Shared by the configuration tests: a tool directory of its own, message boxes and the file
// dialog answered without a person, and modal dialogs driven from inside their loops.
#pragma once
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"
#include "tests/support/ImageFactory.h"

namespace cfgtest {

namespace ui = platform::ui;
namespace fs = std::filesystem;

class GuiEnv : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ui::EnsureGui();
        tarvex::res::RegisterResources();
    }
};

inline CString Text(HWND hWnd)
{
    CString s;
    if (CWnd* w = CWnd::FromHandle(hWnd))
        w->GetWindowText(s);
    return s;
}

inline std::string Utf8(const CString& s) { return s.ToUtf8(); }

// The file's identity: a file replaced by a copy gets a new one. Windows' C runtime reports
// no inode numbers (always 0), so there the identity cannot tell a copy apart.
inline std::uint64_t Inode(const fs::path& p)
{
#ifdef _WIN32
    (void)p;
    return 0;
#else
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
#endif
}

// A tool directory as the executable's directory, an image source directory elsewhere, and
// hooks that answer every box and file dialog.
class ToolDirTest : public ::testing::Test
{
protected:
    testsupport::TempDir m_root;
    fs::path m_tool;
    fs::path m_src;
    // The next file dialog's answer; nothing means Cancel.
    std::optional<std::string> m_pick;
    int m_fileDialogs = 0;
    // The answer to a Yes/No question.
    int m_yesNo = IDYES;
    // Called for each message box (after it is logged); for tests that act while it is up.
    std::function<void(const ui::MessageBoxCall&)> m_onBox;

    void SetUp() override
    {
        m_tool = m_root / "tool";
        m_src = m_root / "src";
        fs::create_directories(m_tool);
        fs::create_directories(m_src);
        platform::OverrideModuleFileName((m_tool / "tarvex").string());
        ui::ClearMessageBoxLog();
        ui::SetMessageBoxHook([this](const ui::MessageBoxCall& call) {
            if (m_onBox)
                m_onBox(call);
            return (call.nType & MB_TYPEMASK) == MB_YESNO ? m_yesNo : IDOK;
        });
        ui::SetFileDialogHook([this](const ui::FileDialogCall& call) {
            ++m_fileDialogs;
            EXPECT_TRUE(call.bOpen);
            EXPECT_EQ(Utf8(call.strFilter), "QL40 Config File (*.bimg)|*.bimg|");
            return m_pick;
        });
    }

    void TearDown() override
    {
        ui::SetMessageBoxHook(nullptr);
        ui::SetFileDialogHook(nullptr);
        ui::SetDialogShownHook(nullptr);
        platform::OverrideModuleFileName("");
    }

    // Texts of the message boxes shown so far, in order.
    static std::vector<std::string> Boxes()
    {
        std::vector<std::string> out;
        for (const auto& call : ui::MessageBoxLog())
            out.push_back(Utf8(call.strText));
        return out;
    }

    // A valid image in dir, named file, with the image name name.
    static ENC_FILE_HEADER MakeImage(const fs::path& dir, const std::string& file, const char* name, unsigned seed = 1)
    {
        return testsupport::WriteImageFile(dir / file, name, testsupport::MakeRawImage(0x5000, seed));
    }
};

// Shows dlg modally; each time a dialog of the given template comes up, its step runs.
// A dialog still open after its step is cancelled, so no test can hang in a modal loop.
// Returns DoModal's result.
inline INT_PTR RunDialogs(CDialog& dlg, std::map<int, std::function<void(HWND)>> steps)
{
    ui::SetDialogShownHook([&](HWND hDlg) {
        const int id = GetDialogTemplateID(hDlg);
        auto it = steps.find(id);
        if (it != steps.end())
            it->second(hDlg);
        if (IsWindowVisible(hDlg))
            SendMessageW(hDlg, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(IDCANCEL), BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
    });
    const INT_PTR result = dlg.DoModal();
    ui::SetDialogShownHook(nullptr);
    return result;
}

inline void Click(HWND hDlg, int id) { ui::ClickMouse(GetDlgItem(hDlg, id)); }

} // namespace cfgtest
