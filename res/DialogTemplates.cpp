#include "res/DialogTemplates.h"

#include <iterator>

#include "platform/ui/WinUser.h"

namespace tarvex::res {
namespace {

constexpr DWORD CHILD = WS_CHILD | WS_VISIBLE;
// What the resource compiler gives each statement kind.
constexpr DWORD LTEXT = CHILD | SS_LEFT | WS_GROUP;
constexpr DWORD GROUPBOX = CHILD | BS_GROUPBOX;
constexpr DWORD PUSHBUTTON = CHILD | BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD DEFPUSHBUTTON = CHILD | BS_DEFPUSHBUTTON | WS_TABSTOP;
constexpr DWORD AUTOCHECKBOX = CHILD | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD EDITTEXT = CHILD | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD DROPLIST = CHILD | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
constexpr DWORD BITMAP = CHILD | SS_BITMAP;

constexpr DWORD POPUP_DIALOG = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

const WCHAR kButton[] = u"Button";
const WCHAR kStatic[] = u"Static";
const WCHAR kEdit[] = u"Edit";
const WCHAR kCombo[] = u"ComboBox";
const WCHAR kProgress[] = u"msctls_progress32";

const DialogItemData kMainItems[] = {
    {1010, kProgress, CHILD | WS_BORDER, 0, u"", 10, 55, 300, 15},
    {1006, kButton, DEFPUSHBUTTON, 0, u"升级(&U)", 150, 115, 50, 27},
    {2, kButton, PUSHBUTTON, 0, u"退出(&E)", 220, 115, 50, 27},
    {1007, kStatic, BITMAP, 0, u"", 20, 115, 13, 12},
    {1005, kStatic, LTEXT, 0, u"", 10, 80, 300, 13},
    {-1, kButton, GROUPBOX, 0, u"鼠标设备", 10, 10, 300, 35},
    {-1, kStatic, LTEXT, 0, u"连接状态:", 17, 27, 33, 8},
    {1002, kStatic, BITMAP, 0, u"", 54, 25, 13, 12},
    {-1, kStatic, LTEXT, 0, u"程序ID:", 107, 26, 24, 9},
    {1003, kStatic, LTEXT, 0, u"", 140, 26, 43, 9},
    {-1, kStatic, LTEXT, 0, u"程序版本:", 199, 25, 36, 10},
    {1004, kStatic, LTEXT, 0, u"", 248, 25, 34, 10},
};

const DialogItemData kConfigItems[] = {
    {-1, kButton, GROUPBOX, 0, u"鼠标应用文件", 10, 10, 300, 68},
    {-1, kStatic, LTEXT, 0, u"应用文件：", 20, 25, 35, 8},
    {1032, kEdit, EDITTEXT | ES_READONLY, 0, u"", 60, 22, 180, 14},
    {1033, kButton, PUSHBUTTON, 0, u"选择文件", 250, 22, 50, 14},
    {-1, kStatic, LTEXT, 0, u"配置名称：", 20, 45, 35, 8},
    {1034, kStatic, LTEXT, 0, u"", 60, 45, 50, 8},
    {-1, kStatic, LTEXT, 0, u"配置文件校验：", 150, 45, 49, 8},
    {1035, kStatic, LTEXT, WS_EX_RIGHT, u"0000", 200, 45, 40, 8},
    {-1, kStatic, LTEXT, 0, u"程序ID:", 20, 61, 28, 10},
    {1005, kEdit, EDITTEXT, 0, u"", 60, 57, 67, 14},
    {-1, kStatic, LTEXT, 0, u"程序版本:", 151, 61, 32, 10},
    {-1, kStatic, LTEXT, 0, u"v", 199, 61, 8, 10},
    {1006, kCombo, DROPLIST, 0, u"", 210, 59, 26, 30},
    {-1, kStatic, LTEXT, 0, u".", 239, 60, 8, 11},
    {1008, kCombo, DROPLIST, 0, u"", 244, 59, 26, 30},
    {-1, kButton, GROUPBOX, 0, u"升级选项", 10, 82, 300, 48},
    {1001, kButton, AUTOCHECKBOX, 0, u"USB设备插入自动升级应用", 20, 97, 99, 10},
    {1000, kButton, AUTOCHECKBOX, 0, u"应用升级后自动复位", 150, 97, 78, 10},
    {1009, kButton, AUTOCHECKBOX, 0, u"程序版本检查", 20, 114, 57, 10},
    {1015, kButton, AUTOCHECKBOX, 0, u"保存用户数据", 150, 114, 57, 10},
    {-1, kStatic, LTEXT, 0, u"程序标题：", 20, 141, 40, 10},
    {1014, kEdit, EDITTEXT, 0, u"", 60, 137, 179, 14},
    {-1, kStatic, LTEXT, 0, u"访问密码：", 20, 162, 35, 8},
    {1036, kEdit, EDITTEXT | ES_PASSWORD, 0, u"", 60, 159, 180, 14},
    {1, kButton, DEFPUSHBUTTON, 0, u"确定", 190, 182, 50, 14},
    {2, kButton, PUSHBUTTON, 0, u"取消", 250, 182, 50, 14},
};

const DialogItemData kPasswordItems[] = {
    {-1, kStatic, LTEXT, 0, u"访问密码：", 17, 22, 35, 8},
    {1036, kEdit, EDITTEXT | ES_PASSWORD, 0, u"", 58, 18, 180, 13},
    {1, kButton, DEFPUSHBUTTON, 0, u"确定", 73, 43, 43, 12},
    {2, kButton, PUSHBUTTON, 0, u"取消", 142, 43, 43, 12},
};

} // namespace

const DialogTemplateData kMainDialog = {
    102,
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS,
    WS_EX_APPWINDOW,
    u"DUN-X4游戏鼠标ROM升级工具 v1.1.0",
    u"MS Shell Dlg",
    9,
    319,
    155,
    kMainItems,
    std::size(kMainItems),
};

const DialogTemplateData kConfigDialog = {
    129, POPUP_DIALOG, 0, u"系统配置", u"Microsoft Sans Serif", 9, 323, 211, kConfigItems, std::size(kConfigItems),
};

const DialogTemplateData kPasswordDialog = {
    130, POPUP_DIALOG, 0, u"访问权限验证", u"Microsoft Sans Serif", 9, 259, 70, kPasswordItems, std::size(kPasswordItems),
};

} // namespace tarvex::res
