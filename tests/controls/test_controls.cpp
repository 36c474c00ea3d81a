// The masked edit and the status line inside real dialogs (the offscreen platform with Qt,
// the system's dialogs on Windows), driven through the framework's input path and looked at
// through the framework's pictures of windows.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <QClipboard>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#endif

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "controls/MaskEdit.h"
#include "controls/PromptInfoCtrl.h"
#include "platform/ui/Afx.h"
#include "platform/ui/TestHooks.h"
#include "res/Resources.h"

namespace {

namespace ui = platform::ui;

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

// Runs body while dlg is shown modally and on screen, then ends the dialog whatever body did.
void RunShown(CDialog& dlg, const std::function<void()>& body)
{
    bool ran = false;
    ui::SetDialogShownHook([&](HWND hDlg) {
        if (ran)
            return;
        ran = true;
#ifdef _WIN32
        EXPECT_TRUE(ui::RunUntil([hDlg] { return IsWindowVisible(hDlg) != FALSE; }, 10000));
#else
        // Shown is not yet on screen: painting starts once the window system exposes it.
        QWidget* w = ui::WidgetOf(hDlg);
        EXPECT_TRUE(w && ui::RunUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 10000));
#endif
        body();
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    ui::SetDialogShownHook(nullptr);
    ASSERT_TRUE(ran) << "the dialog was never shown";
}

// ---- masked edit ---------------------------------------------------------------------------

// The masked edit exposes its internals to the tests through a thin subclass.
class CTestMaskEdit : public CMaskEdit
{
public:
    using CMaskEdit::m_bPassChar;
};

// The configuration dialog's template with its program-ID field as a masked edit.
class CMaskDlg : public CDialog
{
public:
    CMaskDlg() : CDialog(129) {}
    CTestMaskEdit m_edit;
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, 1005, m_edit);
    }
};

class MaskEditTest : public ::testing::Test
{
protected:
    CMaskDlg m_dlg;
    CTestMaskEdit& Edit() { return m_dlg.m_edit; }

    // Sets the control up the way its owner does: settings, then the same text in the window.
    void Setup(const CString& mask, const CString& literal, const CString& value, const CString& restore = u"")
    {
        Edit().m_bUseMask = TRUE;
        Edit().m_strMask = mask;
        Edit().m_strLiteral = literal;
        Edit().m_strValue = value;
        Edit().m_strRestore = restore;
        Edit().SetWindowText(value);
        ui::ResetBeepCount();
    }
    CString Text()
    {
        CString s;
        Edit().GetWindowText(s);
        return s;
    }
    int Caret()
    {
        int start = -1, end = -1;
        Edit().GetSel(start, end);
        EXPECT_EQ(start, end) << "expected a caret, not a selection";
        return start;
    }
    void Place(int pos) { Edit().SetSel(pos, pos); }
    void Type(const CString& s) { ui::TypeText(Edit().m_hWnd, s); }
    void Key(UINT vk) { ui::SendKey(Edit().m_hWnd, vk); }
    void Run(const std::function<void()>& body) { RunShown(m_dlg, body); }
};

TEST_F(MaskEditTest, ConstructsWithItsDefaults)
{
    CMaskEdit e;
    EXPECT_FALSE(e.m_bUseMask);
    EXPECT_FALSE(e.m_bDateMode);
    EXPECT_TRUE(e.m_strValue.IsEmpty());
    EXPECT_TRUE(e.m_strMask.IsEmpty());
    EXPECT_EQ(e.m_strFirstMax, u"47");
    EXPECT_EQ(e.m_strSecondMax, u"59");
    EXPECT_TRUE(e.m_strRestore.IsEmpty());
}

TEST_F(MaskEditTest, HexFieldOverwritesPositionByPosition)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"00A0");
        Place(0);
        Type(u"1");
        EXPECT_EQ(Text(), u"10A0");
        EXPECT_EQ(Edit().m_strValue, u"10A0");
        EXPECT_EQ(Caret(), 1);
        EXPECT_EQ(ui::BeepCount(), 0);

        Type(u"g");
        EXPECT_EQ(Text(), u"10A0");
        EXPECT_EQ(Edit().m_strValue, u"10A0");
        EXPECT_EQ(Caret(), 1);
        EXPECT_EQ(ui::BeepCount(), 1);

        Type(u"fE9");
        EXPECT_EQ(Text(), u"1fE9");
        EXPECT_EQ(Edit().m_strValue, u"1fE9");
        EXPECT_EQ(Caret(), 4);
        // Past the last position nothing goes in.
        Type(u"5");
        EXPECT_EQ(Text(), u"1fE9");
        EXPECT_EQ(Edit().m_strValue, u"1fE9");
        EXPECT_EQ(ui::BeepCount(), 2);
    });
}

TEST_F(MaskEditTest, SelectionIsOverwrittenOnlyAtItsStart)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"00A0");
        Edit().SetSel(1, 3);
        Type(u"F");
        EXPECT_EQ(Text(), u"0FA0");
        EXPECT_EQ(Edit().m_strValue, u"0FA0");
        EXPECT_EQ(Caret(), 2);
    });
}

TEST_F(MaskEditTest, BackspaceRestoresOrOnlyMovesAndNeverDeletes)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"00A0", u"00A0");
        Place(0);
        Type(u"1234");
        ASSERT_EQ(Text(), u"1234");

        // With restore text: the initial character comes back one to the left.
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"1230");
        EXPECT_EQ(Edit().m_strValue, u"1230");
        EXPECT_EQ(Caret(), 3);
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(Edit().m_strValue, u"12A0");
        EXPECT_EQ(Caret(), 2);
        EXPECT_EQ(ui::BeepCount(), 0);

        // A selection, or the caret at the start: beep, nothing changes.
        Edit().SetSel(1, 3);
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(ui::BeepCount(), 1);
        Place(0);
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(Caret(), 0);
        EXPECT_EQ(ui::BeepCount(), 2);

        // Without restore text it only moves the caret.
        Edit().m_strRestore = u"";
        Place(3);
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(Edit().m_strValue, u"12A0");
        EXPECT_EQ(Caret(), 2);
        EXPECT_EQ(ui::BeepCount(), 2);

        // Shift or Ctrl held on Backspace must not turn the control's own caret move into
        // a selection or a word jump: the same one-position restore happens.
        Edit().m_strRestore = u"00A0";
        Place(3);
        ui::SendKey(Edit().m_hWnd, VK_BACK, /*bShift=*/true);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(Edit().m_strValue, u"12A0");
        EXPECT_EQ(Caret(), 2);
        Place(4);
        ui::SendKey(Edit().m_hWnd, VK_BACK, /*bShift=*/false, /*bCtrl=*/true);
        EXPECT_EQ(Text(), u"12A0");
        EXPECT_EQ(Edit().m_strValue, u"12A0");
        EXPECT_EQ(Caret(), 3);
    });
}

TEST_F(MaskEditTest, BackspaceWithAShortOrUnusableRestoreTextOnlyMoves)
{
    Run([&] {
        // Restore text shorter than the field, and one holding a character no position
        // could take: the caret moves, the text stays.
        Setup(u"HHHH", u"____", u"1234", u"0");
        Place(3);
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"1234");
        EXPECT_EQ(Caret(), 2);
        Edit().m_strRestore = u"\u4e2d\u4e2d\u4e2d\u4e2d";
        Key(VK_BACK);
        EXPECT_EQ(Text(), u"1234");
        EXPECT_EQ(Edit().m_strValue, u"1234");
        EXPECT_EQ(Caret(), 1);
    });
}

TEST_F(MaskEditTest, InsertAndDeleteAreSwallowedOnlyWhileMasked)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"ABCD");
        Place(1);
        Key(VK_DELETE);
        Key(VK_INSERT);
        EXPECT_EQ(Text(), u"ABCD");
        EXPECT_EQ(Caret(), 1);
        // Every other key is the edit's own: the caret moves as in any field.
        const struct {
            UINT vk;
            int caret;
        } moves[] = {{VK_RIGHT, 2}, {VK_END, 4}, {VK_LEFT, 3}, {VK_HOME, 0}};
        for (const auto& m : moves) {
            Key(m.vk);
            EXPECT_EQ(Caret(), m.caret) << "key " << m.vk;
        }
        EXPECT_EQ(Text(), u"ABCD");
        EXPECT_EQ(ui::BeepCount(), 0);

        Edit().m_bUseMask = FALSE;
        Place(1);
        Key(VK_DELETE);
        EXPECT_EQ(Text(), u"ACD");
        // A plain edit inserts, refuses nothing and leaves the value alone.
        Type(u"xyz!");
        EXPECT_EQ(Text(), u"Axyz!CD");
        EXPECT_EQ(Edit().m_strValue, u"ABCD");
        EXPECT_EQ(ui::BeepCount(), 0);
    });
}

#ifndef _WIN32
// Text that arrives other than by typing keeps to the mask: what the window shows is always
// the value, never longer than the mask, each position of its class.
TEST_F(MaskEditTest, PasteCutAndDeleteKeepToTheMask)
{
    enum class Via { CtrlV, ShiftInsert, Message, CtrlX, ShiftDelete, Delete, Clear, CtrlZ, CtrlInsert, CtrlDelete, Insert };
    struct Case {
        const char* name;
        const char16_t* clipboard;
        int selStart, selEnd;
        Via via;
        const char16_t* shows;
        int beeps;
    };
    const Case cases[] = {
        {"paste at the end", u"FFFF", 4, 4, Via::CtrlV, u"ABCD", 1},
        {"paste overwrites from the caret", u"12", 0, 0, Via::CtrlV, u"12CD", 0},
        {"paste stops at the mask's end", u"1234", 2, 2, Via::ShiftInsert, u"AB12", 1},
        {"paste stops at a refused character", u"9g9", 1, 1, Via::Message, u"A9CD", 1},
        {"paste of a control character", u"1\t2", 0, 0, Via::CtrlV, u"1BCD", 1},
        {"paste over a selection starts at its start", u"ee", 1, 3, Via::CtrlV, u"AeeD", 0},
        {"cut copies and deletes nothing", u"", 0, 4, Via::CtrlX, u"ABCD", 1},
        {"shift+delete is a cut", u"", 1, 3, Via::ShiftDelete, u"ABCD", 1},
        {"delete of a selection", u"", 1, 3, Via::Delete, u"ABCD", 0},
        {"WM_CLEAR of a selection", u"", 1, 3, Via::Clear, u"ABCD", 1},
        {"undo after typing", u"", 0, 0, Via::CtrlZ, u"7BCD", 1},
        {"ctrl+insert copies", u"keep", 1, 3, Via::CtrlInsert, u"ABCD", 0},
        {"ctrl+delete does nothing", u"keep", 1, 3, Via::CtrlDelete, u"ABCD", 0},
        {"insert alone does nothing, not even a copy", u"keep", 1, 3, Via::Insert, u"ABCD", 0},
    };
    Run([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Setup(u"HHHH", u"____", u"ABCD", u"ABCD");
            if (c.via == Via::CtrlZ) {
                Place(0);
                Type(u"7");
                ui::ResetBeepCount();
            }
            QGuiApplication::clipboard()->setText(QString::fromUtf16(c.clipboard));
            Edit().SetSel(c.selStart, c.selEnd);
            switch (c.via) {
            case Via::CtrlV: ui::SendKey(Edit().m_hWnd, 'V', false, true); break;
            case Via::ShiftInsert: ui::SendKey(Edit().m_hWnd, VK_INSERT, true); break;
            case Via::Message: Edit().SendMessage(WM_PASTE, 0, 0); break;
            case Via::CtrlX: ui::SendKey(Edit().m_hWnd, 'X', false, true); break;
            case Via::ShiftDelete: ui::SendKey(Edit().m_hWnd, VK_DELETE, true); break;
            case Via::Delete: Key(VK_DELETE); break;
            case Via::Clear: Edit().SendMessage(WM_CLEAR, 0, 0); break;
            case Via::CtrlZ: ui::SendKey(Edit().m_hWnd, 'Z', false, true); break;
            case Via::CtrlInsert: ui::SendKey(Edit().m_hWnd, VK_INSERT, false, true); break;
            case Via::CtrlDelete: ui::SendKey(Edit().m_hWnd, VK_DELETE, false, true); break;
            case Via::Insert: Key(VK_INSERT); break;
            }
            EXPECT_EQ(Text(), c.shows);
            EXPECT_EQ(Edit().m_strValue, c.shows);
            EXPECT_EQ(ui::BeepCount(), c.beeps);
            if (c.via == Via::CtrlDelete || c.via == Via::Insert) {
                EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("keep"));
            }
            if (c.via == Via::CtrlX || c.via == Via::ShiftDelete || c.via == Via::CtrlInsert) {
                EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromUtf16(u"ABCD").mid(c.selStart, c.selEnd - c.selStart));
            }
        }
        // Undo asked for by message is refused too, and says that nothing was undone.
        Setup(u"HHHH", u"____", u"ABCD", u"ABCD");
        ui::ResetBeepCount();
        EXPECT_EQ(Edit().SendMessage(EM_UNDO, 0, 0), 0);
        EXPECT_EQ(Edit().SendMessage(WM_UNDO, 0, 0), 0);
        EXPECT_EQ(Text(), u"ABCD");
        EXPECT_EQ(ui::BeepCount(), 2);
        // Without the mask the clipboard keys are the plain edit's.
        Setup(u"HHHH", u"____", u"ABCD");
        Edit().m_bUseMask = FALSE;
        QGuiApplication::clipboard()->setText(QStringLiteral("xyz"));
        Place(4);
        ui::SendKey(Edit().m_hWnd, 'V', false, true);
        EXPECT_EQ(Text(), u"ABCDxyz");
        QGuiApplication::clipboard()->clear();
    });
}

// A paste leaves the field as typing the same keys would: text, value and caret, the
// separator after the last character typed in too.
TEST_F(MaskEditTest, LiteralsArePastedAcrossLikeTypedOnes)
{
    struct Case {
        const char16_t* input;
        const char16_t* shows;
        int caret;
    };
    const Case cases[] = {
        {u"1234", u"12:34", 5},
        {u"12", u"12:00", 3},
        {u"123", u"12:30", 4},
    };
    Run([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(QString::fromUtf16(c.input).toStdString());
            Setup(u"00:00", u"__:__", u"00:00");
            Place(0);
            Type(c.input);
            EXPECT_EQ(Text(), c.shows);
            EXPECT_EQ(Caret(), c.caret);
            const CString typedValue = Edit().m_strValue;

            // Ctrl+V, and Shift+Insert, which types no character of its own after the paste.
            for (const bool ctrlV : {true, false}) {
                SCOPED_TRACE(ctrlV ? "ctrl+v" : "shift+insert");
                Setup(u"00:00", u"__:__", u"00:00");
                QGuiApplication::clipboard()->setText(QString::fromUtf16(c.input));
                Place(0);
                if (ctrlV)
                    ui::SendKey(Edit().m_hWnd, 'V', false, true);
                else
                    ui::SendKey(Edit().m_hWnd, VK_INSERT, true);
                EXPECT_EQ(Text(), c.shows);
                EXPECT_EQ(Edit().m_strValue, typedValue);
                EXPECT_EQ(Caret(), c.caret);
                EXPECT_EQ(ui::BeepCount(), 0);
            }
        }
        QGuiApplication::clipboard()->clear();
    });
}
#endif

TEST_F(MaskEditTest, ControlCharactersPassUnexamined)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"ABCD");
        Place(4); // beyond the mask: a printable character would beep here
        Edit().SendMessage(WM_CHAR, 0x03, 1); // Ctrl+C
        Edit().SendMessage(WM_CHAR, 0x16, 1); // Ctrl+V
        EXPECT_EQ(ui::BeepCount(), 0);
        EXPECT_EQ(Edit().m_strValue, u"ABCD");
    });
}

TEST_F(MaskEditTest, ValidCharsAreAdmittedWhateverTheMask)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"0000");
        Edit().m_strValidChars = u"-x";
        Place(1);
        Type(u"-x");
        EXPECT_EQ(Text(), u"0-x0");
        EXPECT_EQ(Edit().m_strValue, u"0-x0");
        Type(u"y");
        EXPECT_EQ(Text(), u"0-x0");
        EXPECT_EQ(ui::BeepCount(), 1);
    });
}

TEST_F(MaskEditTest, EachMaskClassAdmitsItsCharacters)
{
    struct Case {
        const char16_t* mask;
        const char16_t* admitted;
        const char16_t* refused;
    };
    const Case cases[] = {
        {u"9", u"0123456789", u" aZ-+.k"},
        {u"#", u"0359 ", u"akmZ-+"},
        {u"L", u"aAzZqQ", u"0 9-_"},
        {u"?", u"aZ ", u"09-"},
        {u"A", u"aZ09", u" -_"},
        {u"a", u"aZ09 ", u"-_."},
        {u"&", u" ~!aZ0", u""},
        {u"H", u"09afAF", u"gG -x"},
        {u"X", u"", u"aZ09 -"},
    };
    Run([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(CString(c.mask).ToUtf8());
            for (const char16_t* p = c.admitted; *p; ++p) {
                Setup(c.mask, u"_", u".");
                Place(0);
                Type(CString(*p));
                EXPECT_EQ(Edit().m_strValue, CString(*p)) << char(*p);
                EXPECT_EQ(ui::BeepCount(), 0) << char(*p);
            }
            for (const char16_t* p = c.refused; *p; ++p) {
                Setup(c.mask, u"_", u".");
                Place(0);
                Type(CString(*p));
                EXPECT_EQ(Edit().m_strValue, u".") << char(*p);
                EXPECT_EQ(Text(), u".") << char(*p);
                EXPECT_EQ(ui::BeepCount(), 1) << char(*p);
            }
        }
    });
}

TEST_F(MaskEditTest, LiteralsAreTypedInOnBothSidesOfAnInput)
{
    Run([&] {
        Setup(u"00:00", u"__:__", u"00:00");
        // Typing on the literal: ':' goes in first, the digit is checked against position 3.
        Place(2);
        Type(u"3");
        EXPECT_EQ(Text(), u"00:30");
        EXPECT_EQ(Edit().m_strValue, u"00:30");
        EXPECT_EQ(Caret(), 4);
        Place(2);
        Type(u"7"); // position 3 allows up to '5'
        EXPECT_EQ(Edit().m_strValue, u"00:30");
        EXPECT_EQ(ui::BeepCount(), 1);

        // After position 1 the separator is typed at once.
        Place(0);
        Type(u"12");
        EXPECT_EQ(Text(), u"12:30");
        EXPECT_EQ(Caret(), 3);
        Type(u"45");
        EXPECT_EQ(Text(), u"12:45");
        EXPECT_EQ(Edit().m_strValue, u"12:45");
        EXPECT_EQ(ui::BeepCount(), 1);
        EXPECT_FALSE(Edit().m_bPassChar);
    });
}

// One separator is filled in per typed character: of two in a row, the second goes in when
// the next character is typed on it.
TEST_F(MaskEditTest, OfTwoLiteralsInARowOnlyTheFirstFollowsATypedCharacter)
{
    Run([&] {
        Setup(u"00- 00", u"__- __", u"00- 00");
        Place(0);
        Type(u"12");
        EXPECT_EQ(Caret(), 3);
        Type(u"4");
        EXPECT_EQ(Text(), u"12- 40");
        EXPECT_EQ(Caret(), 5);
        EXPECT_EQ(ui::BeepCount(), 0);
    });
}

TEST_F(MaskEditTest, DigitLimitsFromTheTwoBounds)
{
    Run([&] {
        auto tryAt = [&](const CString& value, int pos, char16_t ch) {
            Setup(u"00:00", u"__:__", value);
            Place(pos);
            Type(CString(ch));
            return ui::BeepCount() == 0;
        };
        // Defaults "47" and "59".
        EXPECT_TRUE(tryAt(u"00:00", 0, u'4'));
        EXPECT_FALSE(tryAt(u"00:00", 0, u'5'));
        EXPECT_TRUE(tryAt(u"40:00", 1, u'7'));
        EXPECT_FALSE(tryAt(u"40:00", 1, u'8'));
        EXPECT_TRUE(tryAt(u"30:00", 1, u'9'));
        EXPECT_TRUE(tryAt(u"00:00", 3, u'5'));
        EXPECT_FALSE(tryAt(u"00:00", 3, u'6'));
        EXPECT_TRUE(tryAt(u"00:50", 4, u'9'));

        Edit().m_strFirstMax = u"23";
        Edit().m_strSecondMax = u"35";
        EXPECT_FALSE(tryAt(u"00:00", 0, u'3'));
        EXPECT_TRUE(tryAt(u"20:00", 1, u'3'));
        EXPECT_FALSE(tryAt(u"20:00", 1, u'4'));
        EXPECT_TRUE(tryAt(u"10:00", 1, u'9'));
        EXPECT_FALSE(tryAt(u"00:00", 3, u'4'));
        EXPECT_TRUE(tryAt(u"00:30", 4, u'5'));
        EXPECT_FALSE(tryAt(u"00:30", 4, u'6'));
        EXPECT_TRUE(tryAt(u"00:20", 4, u'9'));
        // A letter is no digit, whatever the bounds.
        EXPECT_FALSE(tryAt(u"00:00", 4, u'a'));

        // Bounds the owner left short limit nothing instead of reading past them.
        Edit().m_strFirstMax = u"";
        Edit().m_strSecondMax = u"3";
        EXPECT_TRUE(tryAt(u"00:00", 0, u'9'));
        EXPECT_TRUE(tryAt(u"00:30", 4, u'9'));
        EXPECT_FALSE(tryAt(u"00:00", 3, u'4'));
    });
}

TEST_F(MaskEditTest, DigitLimitsInDateMode)
{
    Run([&] {
        auto tryAt = [&](const CString& value, int pos, char16_t ch) {
            Setup(u"00/00/00", u"__/__/__", value);
            Edit().m_bDateMode = TRUE;
            Place(pos);
            Type(CString(ch));
            return ui::BeepCount() == 0;
        };
        EXPECT_TRUE(tryAt(u"00/00/00", 0, u'3'));
        EXPECT_FALSE(tryAt(u"00/00/00", 0, u'4'));
        EXPECT_TRUE(tryAt(u"30/00/00", 1, u'1'));
        EXPECT_FALSE(tryAt(u"30/00/00", 1, u'2'));
        EXPECT_TRUE(tryAt(u"20/00/00", 1, u'9'));
        EXPECT_TRUE(tryAt(u"00/00/00", 3, u'1'));
        EXPECT_FALSE(tryAt(u"00/00/00", 3, u'2'));
        EXPECT_TRUE(tryAt(u"00/10/00", 4, u'2'));
        EXPECT_FALSE(tryAt(u"00/10/00", 4, u'3'));
        EXPECT_TRUE(tryAt(u"00/00/00", 4, u'9'));
        // Positions past the day and month take any digit.
        EXPECT_TRUE(tryAt(u"00/00/00", 6, u'9'));
        EXPECT_TRUE(tryAt(u"00/00/00", 7, u'9'));
    });
}

TEST_F(MaskEditTest, ValueShorterThanTheMaskIsPaddedNotOverrun)
{
    Run([&] {
        Setup(u"HHHH", u"____", u"");
        Place(0);
        Type(u"AB");
        EXPECT_EQ(Text(), u"AB");
        EXPECT_EQ(Edit().m_strValue, u"AB");

        // The window holds more than the value: a character beyond the value's end pads it.
        Setup(u"HHHH", u"____", u"12");
        Edit().SetWindowText(u"1234");
        Place(3);
        Type(u"F");
        EXPECT_EQ(Text(), u"123F");
        EXPECT_EQ(Edit().m_strValue, u"12 F");
        EXPECT_EQ(ui::BeepCount(), 0);

        // A layout shorter than the mask reads as input positions past its end.
        Setup(u"HHHH", u"_", u"0000");
        Place(2);
        Type(u"99");
        EXPECT_EQ(Edit().m_strValue, u"0099");
    });
}

// ---- status line ---------------------------------------------------------------------------

class CCountingPrompt : public CPromptInfoCtrl
{
public:
    int m_nPaints = 0;

protected:
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override
    {
        ++m_nPaints;
        CPromptInfoCtrl::DrawItem(lpDrawItemStruct);
    }
};

// The main dialog's template with its status line bound as the main dialog binds it.
class CPromptDlg : public CDialog
{
public:
    CPromptDlg() : CDialog(102) {}
    CCountingPrompt m_prompt;
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, 1005, m_prompt);
    }
};

constexpr COLORREF kBlue = 0x00FF0000;
constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kGreen = 0x0000FF00;

// Pixels are 0xAARRGGBB; colours are COLORREF (0x00BBGGRR).
bool Near(std::uint32_t px, COLORREF c, int tol = 40)
{
    const int r = static_cast<int>((px >> 16) & 0xFF), g = static_cast<int>((px >> 8) & 0xFF), b = static_cast<int>(px & 0xFF);
    return std::abs(r - GetRValue(c)) <= tol && std::abs(g - GetGValue(c)) <= tol && std::abs(b - GetBValue(c)) <= tol;
}

// An area of a picture by its inclusive edges.
struct Area {
    int left, top, right, bottom;
    static Area Of(int x, int y, int cx, int cy) { return Area{x, y, x + cx - 1, y + cy - 1}; }
};

int CountNear(const ui::Picture& img, const Area& r, COLORREF c)
{
    int n = 0;
    for (int y = std::max(0, r.top); y <= std::min(img.cy - 1, r.bottom); ++y)
        for (int x = std::max(0, r.left); x <= std::min(img.cx - 1, r.right); ++x)
            n += Near(img.At(x, y), c);
    return n;
}

ui::Picture Grab(HWND hWnd) { return ui::PictureOfWindow(hWnd); }

TEST(PromptInfoCtrl, TemplateStaticBecomesOwnerDrawn)
{
    CPromptDlg dlg;
    RunShown(dlg, [&] {
        ASSERT_NE(dlg.m_prompt.m_hWnd, nullptr);
        EXPECT_EQ(dlg.m_prompt.GetStyle() & SS_TYPEMASK, SS_OWNERDRAW);
        EXPECT_TRUE(dlg.m_prompt.GetStyle() & WS_GROUP);
        // A static of the same template that nobody took over keeps its own style.
        EXPECT_EQ(GetWindowLongPtrW(dlg.GetDlgItem(1003)->m_hWnd, GWL_STYLE) & SS_TYPEMASK, SS_LEFT);
    });
}

TEST(PromptInfoCtrl, PaintsBeforeReturningInTheGivenColour)
{
    CPromptDlg dlg;
    RunShown(dlg, [&] {
        CCountingPrompt& p = dlg.m_prompt;
        const Area all{0, 0, 10000, 10000};

        const int before = p.m_nPaints;
        p.SetPromptInfo(kBlue, u"正在升级，请稍候...");
        EXPECT_GT(p.m_nPaints, before) << "no paint before SetPromptInfo returned";
        ui::Picture img = Grab(p.m_hWnd);
        ASSERT_FALSE(img.argb.empty());
        EXPECT_GT(CountNear(img, all, kBlue), 40);
        EXPECT_EQ(CountNear(img, all, kRed), 0);

        // Same text, other colour: repainted at once in the new one only.
        const int mid = p.m_nPaints;
        p.SetPromptInfo(kRed, u"正在升级，请稍候...");
        EXPECT_GT(p.m_nPaints, mid);
        img = Grab(p.m_hWnd);
        EXPECT_GT(CountNear(img, all, kRed), 40);
        EXPECT_EQ(CountNear(img, all, kBlue), 0);

        p.SetPromptInfo(kGreen, u"OK");
        img = Grab(p.m_hWnd);
        EXPECT_GT(CountNear(img, all, kGreen), 10);

        // The face colour with no text leaves one flat background.
        p.SetPromptInfo(GetSysColor(COLOR_BTNFACE), u"");
        img = Grab(p.m_hWnd);
        ASSERT_FALSE(img.argb.empty());
        const std::uint32_t first = img.At(0, 0);
        int differing = 0;
        for (std::uint32_t px : img.argb)
            differing += px != first;
        EXPECT_EQ(differing, 0);
    });
}

TEST(PromptInfoCtrl, ChineseTextInTheLargeFont)
{
    CPromptDlg dlg;
    RunShown(dlg, [&] {
        CCountingPrompt& p = dlg.m_prompt;
        auto inkOf = [&](const CString& text) {
            p.SetPromptInfo(kBlue, text);
            const ui::Picture img = Grab(p.m_hWnd);
            Area box{img.cx, img.cy, -1, -1}; // empty until the first inked pixel
            for (int y = 0; y < img.cy; ++y)
                for (int x = 0; x < img.cx; ++x)
                    if (Near(img.At(x, y), kBlue, 90))
                        box = Area{std::min(box.left, x), std::min(box.top, y), std::max(box.right, x), std::max(box.bottom, y)};
            return std::make_pair(img.argb, box);
        };
        const auto [imgA, boxA] = inkOf(u"升");
        const auto [imgB, boxB] = inkOf(u"级");
        // Distinct glyphs, not one placeholder box for both.
        EXPECT_NE(imgA, imgB);
        // 16 points at 96 dpi: an ideograph about 21 pixels square, drawn from the top-left.
        EXPECT_GE(boxA.bottom - boxA.top + 1, 15);
        EXPECT_LE(boxA.bottom - boxA.top + 1, 24);
        EXPECT_GE(boxB.right - boxB.left + 1, 15);
        EXPECT_LE(boxB.right - boxB.left + 1, 24);
        EXPECT_LE(boxA.left, 4);
        EXPECT_LE(boxA.top, 6);
    });
}

TEST(PromptInfoCtrl, LongTextIsCutAtTheRightEdgeOnOneLine)
{
    CPromptDlg dlg;
    RunShown(dlg, [&] {
        CCountingPrompt& p = dlg.m_prompt;
        CString text;
        for (int i = 0; i < 12; ++i)
            text += u"升级失败，设备无响应！";
        p.SetPromptInfo(kBlue, text);

        const RECT r = ui::PositionInParent(p.m_hWnd);
        ASSERT_GT(r.right, r.left);
        const Area ctl{r.left, r.top, r.right - 1, r.bottom - 1};
        const int height = r.bottom - r.top;

        const ui::Picture img = Grab(dlg.m_hWnd);
        ASSERT_FALSE(img.argb.empty());
        ASSERT_GT(img.cx, ctl.right + 4);
        // Text reaches the control's last columns...
        EXPECT_GT(CountNear(img, Area::Of(ctl.right - 20, ctl.top, 21, height), kBlue), 0);
        // ...and nothing of it lies right of or below the control.
        EXPECT_EQ(CountNear(img, Area::Of(ctl.right + 1, ctl.top - 2, img.cx, height + 4), kBlue), 0);
        EXPECT_EQ(CountNear(img, Area::Of(ctl.left, ctl.bottom + 1, r.right - r.left, 40), kBlue), 0);
    });
}

} // namespace
