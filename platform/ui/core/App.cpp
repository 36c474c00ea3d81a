// The application object and the test seams (TestHooks.h) on any toolkit: the hooks are kept
// here and read by the toolkit at the moment of use.
#include <atomic>

#include "platform/ui/core/Core.h"

namespace {
CWinApp* g_app = nullptr;
std::function<int(const platform::ui::MessageBoxCall&)> g_boxHook;
std::vector<platform::ui::MessageBoxCall> g_boxLog;
std::function<std::optional<std::string>(const platform::ui::FileDialogCall&)> g_fileHook;
std::function<UINT(HWND, const std::vector<platform::ui::MenuItemInfo>&)> g_menuHook;
std::function<void(HWND, UINT, WPARAM, LPARAM)> g_observer;
std::function<void(HWND)> g_shownHook;
std::atomic<int> g_beeps{0};
std::atomic<UINT> g_lastBeepType{0};
constexpr std::size_t kMaxBoxLog = 1000;
} // namespace

namespace platform::ui {

int RunApp(int argc, char** argv)
{
    core::StartGui(argc, argv);
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}

} // namespace platform::ui

// ---- test seams ----------------------------------------------------------------------------

namespace platform::ui {

void SetMessageBoxHook(std::function<int(const MessageBoxCall&)> hook) { g_boxHook = std::move(hook); }
std::vector<MessageBoxCall> MessageBoxLog() { return g_boxLog; }
void ClearMessageBoxLog() { g_boxLog.clear(); }
void SetFileDialogHook(std::function<std::optional<std::string>(const FileDialogCall&)> hook) { g_fileHook = std::move(hook); }
void SetSystemMenuHook(std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> hook) { g_menuHook = std::move(hook); }
int BeepCount() { return g_beeps.load(); }
UINT LastBeepType() { return g_lastBeepType.load(); }
void ResetBeepCount() { g_beeps.store(0); }
void SetMessageObserver(std::function<void(HWND, UINT, WPARAM, LPARAM)> observer) { g_observer = std::move(observer); }
void SetDialogShownHook(std::function<void(HWND)> hook) { g_shownHook = std::move(hook); }

} // namespace platform::ui

namespace platform::ui::core {

void ObserveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_observer) {
        auto observer = g_observer;
        observer(hwnd, message, wParam, lParam);
    }
}

std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> SystemMenuHook() { return g_menuHook; }
std::function<std::optional<std::string>(const FileDialogCall&)> FileDialogHook() { return g_fileHook; }

void DialogShown(HWND hwnd)
{
    auto hook = g_shownHook; // the hook may replace itself while it runs
    if (hook && IsWindow(hwnd)) hook(hwnd);
}

CString AppName() { return g_app && g_app->m_pszAppName ? CString(g_app->m_pszAppName) : CString(u"Tarvex"); }

int AnswerMessageBox(HWND owner, const CString& text, const CString& caption, UINT type, bool* answered)
{
    MessageBoxCall call{owner, text, caption, type};
    if (g_boxLog.size() >= kMaxBoxLog) g_boxLog.erase(g_boxLog.begin());
    g_boxLog.push_back(call);
    auto hook = g_boxHook;
    *answered = static_cast<bool>(hook);
    return hook ? hook(call) : 0;
}

} // namespace platform::ui::core

BOOL MessageBeep(UINT type)
{
    g_lastBeepType.store(type);
    ++g_beeps;
    platform::ui::core::Beep(type);
    return TRUE;
}

// ---- CWinApp -------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCWSTR lpszAppName) : m_strAppName(lpszAppName ? lpszAppName : u"Tarvex")
{
    m_pszAppName = m_strAppName.GetString();
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }
int CWinApp::ExitInstance() { return 0; }

int CWinApp::Run()
{
    platform::ui::EnsureGui();
    platform::ui::core::RunEventLoop();
    return ExitInstance();
}

void CWinApp::SetRegistryKey(LPCWSTR key)
{
    m_strRegistryKey = CString(key);
    m_pszRegistryKey = m_strRegistryKey.GetString();
}

HICON CWinApp::LoadIcon(UINT id) const { return LoadIconW(m_hInstance, MAKEINTRESOURCEW(id)); }
HICON CWinApp::LoadIcon(LPCWSTR name) const { return LoadIconW(m_hInstance, name); }

// There is no help file; the command is accepted and does nothing.
void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() { return g_app; }
CWnd* AfxGetMainWnd() { return g_app ? g_app->m_pMainWnd : nullptr; }
HINSTANCE AfxGetInstanceHandle() { return nullptr; }
HINSTANCE AfxGetResourceHandle() { return nullptr; }
BOOL AfxEnableControlContainer(void*) { return TRUE; }
