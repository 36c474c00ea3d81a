// CDialog and its modal loop, data exchange, the file dialog, message boxes, the application
// object and the seams for tests, on the system's dialog manager.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Kernel.h"
#include "platform/ui/win32/Native.h"
#include "platform/ui/win32/WinInternal.h"

namespace nat = platform::ui::native;
using namespace platform::ui::w32;

namespace {
CWinApp* g_app = nullptr;
std::function<int(const platform::ui::MessageBoxCall&)> g_boxHook;
std::vector<platform::ui::MessageBoxCall> g_boxLog;
std::function<std::optional<std::string>(const platform::ui::FileDialogCall&)> g_fileHook;
std::function<UINT(HWND, const std::vector<platform::ui::MenuItemInfo>&)> g_menuHook;
std::function<void(HWND, UINT, WPARAM, LPARAM)> g_observer;
std::function<void(HWND)> g_shownHook;
std::atomic<int> g_beeps{0};
constexpr std::size_t kMaxBoxLog = 1000;
constexpr int SW_SHOW_ = 5;
} // namespace

// ---- data exchange -------------------------------------------------------------------------

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (!pDX || !pDX->m_pDlgWnd || rControl.m_hWnd) return; // bound once per window
    HWND h = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!h || !rControl.SubclassWindow(h)) pDX->m_bFailed = true;
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value)
{
    if (!pDX || !pDX->m_pDlgWnd) return;
    HWND h = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!h) {
        pDX->m_bFailed = true;
        return;
    }
    if (pDX->m_bSaveAndValidate) CWnd::FromHandle(h)->GetWindowText(value);
    else ::SetWindowTextW(h, value);
}

// ---- CDialog -------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    {WM_INITDIALOG, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {
         *r = static_cast<CDialog*>(p)->OnInitDialog();
         return true;
     }},
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_pParentWnd(pParentWnd), m_nIDTemplate(nIDTemplate) {}

CDialog::~CDialog()
{
    if (m_hWnd) CDialog::DestroyWindow();
}

bool CDialog::CreateFromTemplate(HWND hWndParent)
{
    const platform::ui::DialogTemplateData* t = platform::ui::FindDialogTemplate(static_cast<int>(m_nIDTemplate));
    if (!t || m_hWnd) return false;
    return CreateDialogFromData(this, *t, hWndParent) != nullptr;
}

INT_PTR CDialog::DoModal()
{
    platform::ui::EnsureGui();
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!parent) {
        CWnd* main = AfxGetMainWnd();
        if (main && main != this) parent = main->m_hWnd;
    }
    m_bEnded = false;
    m_nModalResult = -1;
    bool running = true;
    m_pLoop = &running;
    if (!CreateFromTemplate(parent)) {
        m_pLoop = nullptr;
        return -1;
    }
    const HWND self = m_hWnd;
    void* real = RealOf(self);
    void* realParent = RealOf(parent);
    if (!m_bEnded && real) {
        // Centred on the owner (or the screen), then shown: a modal dialog is shown whatever
        // its template says.
        const nat::Rect r = nat::WindowRect(real);
        nat::Rect area{0, 0, nat::SystemMetric(0), nat::SystemMetric(1)};
        if (realParent) area = nat::WindowRect(realParent);
        const int cx = r.right - r.left, cy = r.bottom - r.top;
        nat::Move(real, std::max(0, area.left + (area.right - area.left - cx) / 2),
                  std::max(0, area.top + (area.bottom - area.top - cy) / 2), cx, cy, false);
        if (realParent) nat::Enable(realParent, false);
        nat::Show(real, SW_SHOW_);
        nat::SetForeground(real);
        RunLater([self] { DialogShown(self); });
        while (running && !m_bEnded) {
            PumpOnce();
            if (!running || m_bEnded) break;
            nat::Wait(1000);
        }
        if (realParent) {
            nat::Enable(realParent, true);
            nat::SetForeground(realParent);
        }
    }
    m_pLoop = nullptr;
    if (m_hWnd == self) CDialog::DestroyWindow();
    return m_nModalResult;
}

BOOL CDialog::DestroyWindow()
{
    if (!m_hWnd) return FALSE;
    if (m_pLoop) {
        m_bEnded = true;
        *static_cast<bool*>(m_pLoop) = false;
    }
    return CWnd::DestroyWindow();
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return CWnd::DefWindowProc(message, wParam, lParam); }

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEnded = true;
    if (void* real = RealOf(m_hWnd)) {
        // The owner first, then the dialog goes: hidden while its owner is still disabled,
        // the dialog would hand activation to whatever window is next, another program's.
        if (m_pLoop)
            if (void* owner = nat::Owner(real)) nat::Enable(owner, true);
        nat::Show(real, 0);
    }
    if (m_pLoop) *static_cast<bool*>(m_pLoop) = false;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return dx.m_bFailed ? FALSE : TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::NextDlgCtrl() const
{
    void* real = RealOf(m_hWnd);
    if (real) nat::NextDialogControl(real, nat::Focus(), false);
}

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl)
{
    if (pWndCtrl) pWndCtrl->SetFocus();
}

int GetDialogTemplateID(HWND hDlg)
{
    Window* w = Find(hDlg);
    return w && w->kind == Kind::Dialog ? w->id : 0;
}

// ---- CFileDialog ---------------------------------------------------------------------------

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCWSTR lpszDefExt, LPCWSTR lpszFileName, DWORD dwFlags,
                         LPCWSTR lpszFilter, CWnd* pParentWnd, DWORD, BOOL)
    : CDialog(0, pParentWnd), m_bOpenFileDialog(bOpenFileDialog), m_strDefExt(lpszDefExt), m_strFileName(lpszFileName),
      m_dwFlags(dwFlags), m_strFilter(lpszFilter)
{
}

INT_PTR CFileDialog::DoModal()
{
    platform::ui::EnsureGui();
    CWnd* owner = m_pParentWnd ? m_pParentWnd : AfxGetMainWnd();
    const HWND hOwner = owner ? owner->m_hWnd : nullptr;
    std::optional<CString> chosen;
    if (auto hook = FileDialogHook()) {
        if (auto p = hook(platform::ui::FileDialogCall{hOwner, m_bOpenFileDialog != FALSE, m_strFilter, m_strFileName, m_strInitialDir}))
            if (!p->empty()) chosen = platform::WindowsPath(*p);
    } else {
        // "Desc|*.x|" becomes the system's "Desc\0*.x\0\0".
        std::u16string filter(m_strFilter.GetString(), static_cast<std::size_t>(m_strFilter.GetLength()));
        for (char16_t& c : filter)
            if (c == u'|') c = 0;
        filter.push_back(0);
        std::u16string path;
        if (nat::FileDialog(RealOf(hOwner), m_bOpenFileDialog != FALSE, filter,
                            std::u16string(m_strFileName.GetString(), static_cast<std::size_t>(m_strFileName.GetLength())),
                            std::u16string(m_strInitialDir.GetString(), static_cast<std::size_t>(m_strInitialDir.GetLength())),
                            std::u16string(m_strDefExt.GetString(), static_cast<std::size_t>(m_strDefExt.GetLength())),
                            m_dwFlags, path) &&
            !path.empty())
            chosen = CString(path);
    }
    if (!chosen) {
        m_nModalResult = IDCANCEL;
        return IDCANCEL;
    }
    m_strPathName = *chosen;
    m_nModalResult = IDOK;
    return IDOK;
}

CString CFileDialog::GetPathName() const { return m_strPathName; }

CString CFileDialog::GetFileName() const
{
    const int slash = m_strPathName.ReverseFind(u'\\');
    return slash < 0 ? m_strPathName : m_strPathName.Mid(slash + 1);
}

CString CFileDialog::GetFileExt() const
{
    const CString name = GetFileName();
    const int dot = name.ReverseFind(u'.');
    return dot < 0 ? CString() : name.Mid(dot + 1);
}

CString CFileDialog::GetFileTitle() const
{
    const CString name = GetFileName();
    const int dot = name.ReverseFind(u'.');
    return dot < 0 ? name : name.Left(dot);
}

// ---- message boxes -------------------------------------------------------------------------

int MessageBoxW(HWND hWnd, LPCWSTR text, LPCWSTR caption, UINT type)
{
    const CString strText(text);
    const CString strCaption = caption ? CString(caption) : AppName();
    bool answered = false;
    const int hooked = AnswerMessageBox(hWnd, strText, strCaption, type, &answered);
    if (answered) return hooked;
    platform::ui::EnsureGui();
    return nat::ShowMessageBox(RealOf(hWnd), strText.GetString(), strCaption.GetString(), type);
}

std::int16_t GetKeyState(int nVirtKey) { return nat::KeyState(nVirtKey); }

BOOL GetClipboardText(CString& strText)
{
    std::u16string text;
    const bool ok = nat::ClipboardText(text);
    strText = CString(text.c_str(), static_cast<int>(text.size()));
    return ok ? TRUE : FALSE;
}

BOOL MessageBeep(UINT type)
{
    ++g_beeps;
    nat::Beep(type);
    return TRUE;
}

// ---- the application -------------------------------------------------------------------------

namespace platform::ui {

void EnsureGui() { EnsureInit(); }

int RunApp(int, char**)
{
    EnsureGui();
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}

void SetMessageBoxHook(std::function<int(const MessageBoxCall&)> hook) { g_boxHook = std::move(hook); }
std::vector<MessageBoxCall> MessageBoxLog() { return g_boxLog; }
void ClearMessageBoxLog() { g_boxLog.clear(); }
void SetFileDialogHook(std::function<std::optional<std::string>(const FileDialogCall&)> hook) { g_fileHook = std::move(hook); }
void SetSystemMenuHook(std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> hook) { g_menuHook = std::move(hook); }
int BeepCount() { return g_beeps.load(); }
void ResetBeepCount() { g_beeps.store(0); }
void SetMessageObserver(std::function<void(HWND, UINT, WPARAM, LPARAM)> observer) { g_observer = std::move(observer); }
void SetDialogShownHook(std::function<void(HWND)> hook) { g_shownHook = std::move(hook); }

bool RunUntil(const std::function<bool()>& cond, int timeoutMs)
{
    EnsureGui();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return cond();
        // Wakes on any message; the short bound re-checks conditions that change without one.
        nat::Wait(static_cast<std::uint32_t>(std::min<long long>(left, 10)));
        PumpOnce();
    }
    return true;
}

void ProcessPendingEvents()
{
    EnsureGui();
    PumpOnce();
}

void RunLater(std::function<void()> fn)
{
    EnsureGui();
    w32::RunLater(std::move(fn));
}

void SendKey(HWND hWnd, UINT vk, bool bShift, bool bCtrl, bool bAlt)
{
    void* real = RealOf(hWnd);
    if (!real) return;
    nat::KeyInput(real, vk, bShift, bCtrl, bAlt);
    nat::SettleInput();
    ProcessPendingEvents();
}

void TypeText(HWND hWnd, const CString& text)
{
    for (int i = 0; i < text.GetLength(); ++i) {
        void* real = RealOf(hWnd);
        if (!real) return;
        nat::CharInput(real, text[i]);
        nat::SettleInput();
        ProcessPendingEvents();
    }
}

void ClickMouse(HWND hWnd, bool bRight)
{
    void* real = RealOf(hWnd);
    if (!real) return;
    nat::ClickInput(real, bRight);
    nat::SettleInput();
    ProcessPendingEvents();
}

} // namespace platform::ui

namespace platform::ui::w32 {

void ObserveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_observer) {
        auto observer = g_observer;
        observer(hwnd, message, wParam, lParam);
    }
}

std::function<std::optional<std::string>(const FileDialogCall&)> FileDialogHook() { return g_fileHook; }
std::function<UINT(HWND, const std::vector<MenuItemInfo>&)> SystemMenuHook() { return g_menuHook; }

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

} // namespace platform::ui::w32

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
    // A dialog-based application has ended with its dialog; with no window left there is no
    // loop to run.
    platform::ui::EnsureGui();
    return ExitInstance();
}

void CWinApp::SetRegistryKey(LPCWSTR key)
{
    m_strRegistryKey = CString(key);
    m_pszRegistryKey = m_strRegistryKey.GetString();
}

HICON CWinApp::LoadIcon(UINT id) const { return LoadIconW(m_hInstance, MAKEINTRESOURCEW(id)); }
HICON CWinApp::LoadIcon(LPCWSTR name) const { return LoadIconW(m_hInstance, name); }
void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() { return g_app; }
CWnd* AfxGetMainWnd() { return g_app ? g_app->m_pMainWnd : nullptr; }
HINSTANCE AfxGetInstanceHandle() { return nullptr; }
HINSTANCE AfxGetResourceHandle() { return nullptr; }
BOOL AfxEnableControlContainer(void*) { return TRUE; }

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce)
{
    // The classes themselves are registered once with the framework's start.
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) return FALSE;
    platform::ui::EnsureGui();
    return TRUE;
}
