// The application object and the start of the GUI.
#pragma once
#include "platform/ui/Wnd.h"

class CWinApp : public CCmdTarget
{
public:
    // With no name the application is called "Tarvex" (the caption of message boxes that
    // pass none).
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // Runs the event loop until the application quits.
    virtual int Run();

    // The registry is not used; the key name is kept only for the record.
    void SetRegistryKey(LPCWSTR lpszRegistryKey);
    HICON LoadIcon(UINT nIDResource) const;
    HICON LoadIcon(LPCWSTR lpszResourceName) const;
    void OnHelp();

    LPCWSTR m_pszAppName = nullptr;
    LPCWSTR m_pszRegistryKey = nullptr;
    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;

    DECLARE_MESSAGE_MAP()

private:
    CString m_strAppName;
    CString m_strRegistryKey;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
BOOL AfxEnableControlContainer(void* pFactory = nullptr);
// Qt provides every control class; this only records that the call was made.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);
// Icon resource by ID; the same handle for every load of one ID (shared, never freed).
HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName);
inline HICON LoadIcon(HINSTANCE hInstance, LPCWSTR lpIconName) { return LoadIconW(hInstance, lpIconName); }
HBITMAP LoadBitmapW(HINSTANCE hInstance, LPCWSTR lpBitmapName);

namespace platform::ui {
// Makes sure a QApplication exists (creating one when the process has none) and that the
// posted-message and wait hooks are installed on its thread. Every framework call that
// needs the GUI calls this.
void EnsureGui();
// The entry point for the product and tools: creates the QApplication, runs the global
// application object's InitInstance, and Run when it returns TRUE. Returns the exit code.
int RunApp(int argc, char** argv);
} // namespace platform::ui
