// The dialog templates: their data, and the dialogs the framework makes of them (every
// control with its ID, class, style, text and place), with legible Chinese text.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QWidget>
#include <QWindow>

#include <functional>
#include <optional>

#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"
#include "res/DialogTemplates.h"
#include "res/Resources.h"

namespace {

namespace ui = platform::ui;
using tarvex::res::DialogItemData;
using tarvex::res::DialogTemplateData;

class ResourcesEnv : public ::testing::Environment
{
public:
    void SetUp() override
    {
        ui::EnsureGui();
        tarvex::res::RegisterResources();
    }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ResourcesEnv);

void RunShown(CDialog& dlg, const std::function<void(HWND)>& body)
{
    bool ran = false;
    ui::SetDialogShownHook([&](HWND hDlg) {
        if (ran)
            return;
        ran = true;
        QWidget* w = ui::WidgetOf(hDlg);
        EXPECT_TRUE(w && ui::RunUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 10000));
        body(hDlg);
        dlg.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    ui::SetDialogShownHook(nullptr);
    ASSERT_TRUE(ran) << "the dialog was never shown";
}

const DialogItemData* Item(const DialogTemplateData& t, int id)
{
    for (std::size_t i = 0; i < t.nItems; ++i)
        if (t.pItems[i].nID == id)
            return &t.pItems[i];
    return nullptr;
}

TEST(DialogTemplates, MainWindowTemplate)
{
    const DialogTemplateData& t = tarvex::res::kMainDialog;
    EXPECT_EQ(t.nID, 102);
    EXPECT_EQ(CString(t.pszCaption), u"DUN-X4游戏鼠标ROM升级工具 v1.1.0");
    EXPECT_EQ(CString(t.pszFace), u"MS Shell Dlg");
    EXPECT_EQ(t.wPointSize, 9);
    EXPECT_EQ(t.cx, 319);
    EXPECT_EQ(t.cy, 155);
    EXPECT_EQ(t.dwStyle, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS);
    EXPECT_EQ(t.dwExStyle, WS_EX_APPWINDOW);
    ASSERT_EQ(t.nItems, 12u);
    // Template order decides the tab order: progress, Upgrade, Exit come first.
    EXPECT_EQ(t.pItems[0].nID, 1010);
    EXPECT_EQ(t.pItems[1].nID, 1006);
    EXPECT_EQ(t.pItems[2].nID, IDCANCEL);
    EXPECT_EQ(Item(t, 1006)->dwStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(CString(Item(t, 1006)->pszText), u"升级(&U)");
    EXPECT_EQ(CString(Item(t, IDCANCEL)->pszText), u"退出(&E)");
    EXPECT_EQ(Item(t, 1005)->dwStyle, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP);
    for (int id : {1002, 1007}) {
        EXPECT_EQ(Item(t, id)->dwStyle & SS_TYPEMASK, SS_BITMAP) << id;
        EXPECT_EQ(Item(t, id)->cx, 13);
        EXPECT_EQ(Item(t, id)->cy, 12);
    }
    EXPECT_EQ(CString(Item(t, -1)->pszText), u"鼠标设备");
}

TEST(DialogTemplates, ConfigurationAndPasswordTemplates)
{
    const DialogTemplateData& c = tarvex::res::kConfigDialog;
    EXPECT_EQ(c.nID, 129);
    EXPECT_EQ(CString(c.pszCaption), u"系统配置");
    EXPECT_EQ(CString(c.pszFace), u"Microsoft Sans Serif");
    EXPECT_EQ(c.wPointSize, 9);
    EXPECT_EQ(c.cx, 323);
    EXPECT_EQ(c.cy, 211);
    EXPECT_EQ(c.nItems, 26u);
    EXPECT_TRUE(Item(c, 1032)->dwStyle & ES_READONLY);
    EXPECT_EQ(Item(c, 1035)->dwExStyle, WS_EX_RIGHT);
    EXPECT_EQ(CString(Item(c, 1035)->pszText), u"0000");
    EXPECT_FALSE(Item(c, 1005)->dwStyle & (ES_READONLY | ES_PASSWORD));
    EXPECT_TRUE(Item(c, 1036)->dwStyle & ES_PASSWORD);
    for (int id : {1006, 1008}) {
        EXPECT_EQ(Item(c, id)->dwStyle & 0x3u, CBS_DROPDOWNLIST) << id;
        EXPECT_FALSE(Item(c, id)->dwStyle & CBS_SORT) << id;
    }
    for (int id : {1001, 1000, 1009, 1015})
        EXPECT_EQ(Item(c, id)->dwStyle & BS_TYPEMASK, BS_AUTOCHECKBOX) << id;
    EXPECT_EQ(Item(c, IDOK)->dwStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(CString(Item(c, 1001)->pszText), u"USB设备插入自动升级应用");

    const DialogTemplateData& p = tarvex::res::kPasswordDialog;
    EXPECT_EQ(p.nID, 130);
    EXPECT_EQ(CString(p.pszCaption), u"访问权限验证");
    EXPECT_EQ(p.cx, 259);
    EXPECT_EQ(p.cy, 70);
    ASSERT_EQ(p.nItems, 4u);
    EXPECT_TRUE(Item(p, 1036)->dwStyle & ES_PASSWORD);
    EXPECT_EQ(Item(p, IDOK)->dwStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
    EXPECT_EQ(Item(p, IDCANCEL)->dwStyle & BS_TYPEMASK, BS_PUSHBUTTON);

    for (const DialogTemplateData* t : {&c, &p})
        EXPECT_EQ(t->dwStyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
                  WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    // No template offers a minimise or maximise box or a sizing border.
    for (const DialogTemplateData* t : {&tarvex::res::kMainDialog, &c, &p})
        EXPECT_FALSE(t->dwStyle & WS_THICKFRAME) << t->nID;
}

QRect Expected(const DialogItemData& it, const ui::DialogBaseUnits& u)
{
    return QRect(ui::DluToPixelsX(it.x, u), ui::DluToPixelsY(it.y, u), ui::DluToPixelsX(it.cx, u),
                 ui::DluToPixelsY(it.cy, u));
}

bool SamePlace(const QRect& a, const QRect& b, bool ignoreHeight)
{
    auto near = [](int x, int y) { return std::abs(x - y) <= 1; };
    return near(a.x(), b.x()) && near(a.y(), b.y()) && near(a.width(), b.width()) &&
           (ignoreHeight || near(a.height(), b.height()));
}

bool IsCombo(const DialogItemData& it) { return CString(it.pszClass).CompareNoCase(u"ComboBox") == 0; }

class TemplateInstance : public ::testing::TestWithParam<const DialogTemplateData*>
{
};

TEST_P(TemplateInstance, EveryControlExistsWithItsIdClassStyleTextAndPlace)
{
    const DialogTemplateData& t = *GetParam();
    CDialog dlg(static_cast<UINT>(t.nID));
    RunShown(dlg, [&](HWND hDlg) {
        EXPECT_EQ(GetDialogTemplateID(hDlg), t.nID);
        CString caption;
        dlg.GetWindowText(caption);
        EXPECT_EQ(caption, CString(t.pszCaption));

        const ui::DialogBaseUnits units = ui::GetDialogBaseUnits(t.pszFace, t.wPointSize);
        ASSERT_GT(units.cx, 0);
        ASSERT_GT(units.cy, 0);
        CRect client;
        dlg.GetClientRect(&client);
        EXPECT_NEAR(client.Width(), ui::DluToPixelsX(t.cx, units), 1);
        EXPECT_NEAR(client.Height(), ui::DluToPixelsY(t.cy, units), 1);

        QWidget* dlgWidget = ui::WidgetOf(hDlg);
        ASSERT_NE(dlgWidget, nullptr);
        auto placeOf = [dlgWidget](QWidget* w) { return QRect(w->mapTo(dlgWidget, QPoint(0, 0)), w->size()); };
        const QList<QWidget*> widgets = dlgWidget->findChildren<QWidget*>();

        for (std::size_t i = 0; i < t.nItems; ++i) {
            const DialogItemData& it = t.pItems[i];
            SCOPED_TRACE(testing::Message() << "item " << i << " id " << it.nID << " "
                                            << CString(it.pszText).ToUtf8());
            const QRect want = Expected(it, units);
            if (it.nID == -1) {
                // Unnamed controls are found by their place.
                bool found = false;
                for (QWidget* w : widgets)
                    found = found || (w->parentWidget() && SamePlace(placeOf(w), want, false));
                EXPECT_TRUE(found);
                continue;
            }
            const HWND h = ::GetDlgItem(hDlg, it.nID);
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(GetDlgCtrlID(h), it.nID);
            EXPECT_EQ(GetClassNameOf(h).CompareNoCase(it.pszClass), 0) << GetClassNameOf(h).ToUtf8();
            EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE)), it.dwStyle);
            EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(h, GWL_EXSTYLE)), it.dwExStyle);
            EXPECT_TRUE(IsWindowVisible(h));
            CString text;
            CWnd::FromHandle(h)->GetWindowText(text);
            EXPECT_EQ(text, CString(it.pszText));
            QWidget* w = ui::WidgetOf(h);
            ASSERT_NE(w, nullptr);
            // A drop-down list's height is that of its open list; only its field shows.
            EXPECT_TRUE(SamePlace(placeOf(w), want, IsCombo(it)))
                << "at " << placeOf(w).x() << "," << placeOf(w).y() << " " << placeOf(w).width() << "x"
                << placeOf(w).height() << ", want " << want.x() << "," << want.y() << " " << want.width() << "x"
                << want.height();
        }
        // Bitmap statics show nothing until the program gives them a picture.
        if (t.nID == 102) {
            for (int id : {1002, 1007})
                EXPECT_EQ(SendMessageW(::GetDlgItem(hDlg, id), STM_GETIMAGE, IMAGE_BITMAP, 0), 0) << id;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(AllDialogs, TemplateInstance,
                         ::testing::Values(&tarvex::res::kMainDialog, &tarvex::res::kConfigDialog,
                                           &tarvex::res::kPasswordDialog),
                         [](const auto& param) { return "Dialog" + std::to_string(param.param->nID); });

// Pixels of a widget that differ clearly from its background (top-left pixel).
std::optional<QRect> InkBox(const QImage& img)
{
    const QRgb bg = img.pixel(0, 0);
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QRgb px = img.pixel(x, y);
            if (std::abs(qGray(px) - qGray(bg)) > 80)
                box = box.united(QRect(x, y, 1, 1));
        }
    return box.isEmpty() ? std::nullopt : std::optional<QRect>(box);
}

TEST(ChineseText, DialogFontsDrawRealGlyphsAtTheirSize)
{
    // Two different ideographs must come out as two different pictures: a missing font
    // shows both as the same empty box.
    for (const DialogTemplateData* t : {&tarvex::res::kMainDialog, &tarvex::res::kConfigDialog}) {
        SCOPED_TRACE(t->nID);
        CDialog dlg(static_cast<UINT>(t->nID));
        RunShown(dlg, [&](HWND hDlg) {
            // A static of the template, with a text of our choosing.
            const int id = t->nID == 102 ? 1003 : 1034;
            CWnd* pStatic = dlg.GetDlgItem(id);
            ASSERT_NE(pStatic, nullptr);
            QWidget* w = ui::WidgetOf(pStatic->m_hWnd);
            ASSERT_NE(w, nullptr);
            pStatic->SetWindowText(u"升");
            const QImage a = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
            pStatic->SetWindowText(u"级");
            const QImage b = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
            EXPECT_NE(a, b);
            const auto boxA = InkBox(a);
            const auto boxB = InkBox(b);
            ASSERT_TRUE(boxA && boxB);
            // 9 points at 96 dpi is 12 pixels: an ideograph fills most of that square.
            EXPECT_GE(boxA->height(), 8);
            EXPECT_LE(boxA->height(), 14);
            EXPECT_GE(boxB->width(), 8);
            EXPECT_LE(boxB->width(), 14);
        });
    }
}

} // namespace
