// Message maps: a static table per class, searched from the most derived class to its bases.
// Each entry's handler is a capture-less lambda, defined inside the class's own member
// function so that it may call protected handlers; no code generator is involved.
#pragma once
#include "platform/ui/WinUser.h"

class CCmdTarget;
struct CREATESTRUCTW;
using LPCREATESTRUCT = CREATESTRUCTW*;

// Returns true when the entry handled the message, with its result in *pResult.
using AFX_PMSG = bool (*)(CCmdTarget* pTarget, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // 0 ends the table
    UINT nCode;     // notification code for WM_COMMAND
    UINT nID;       // control or command ID for WM_COMMAND
    UINT nLastID;   // last ID of a range (equals nID otherwise)
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                  \
public:                                                                                        \
    static const AFX_MSGMAP* GetThisMessageMap();                                              \
    const AFX_MSGMAP* GetMessageMap() const override;                                          \
                                                                                               \
private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                 \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }          \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                                            \
    {                                                                                          \
        using ThisClass [[maybe_unused]] = theClass;                                                          \
        using TheBaseClass [[maybe_unused]] = baseClass;                                                       \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                      \
        {0, 0, 0, 0, nullptr}};                                                                \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
        return &messageMap;                                                                    \
    }

#define TARVEX_AFX_THIS(p) static_cast<ThisClass*>(p)

#define ON_WM_PAINT()                                                                          \
    {WM_PAINT, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {                \
         TARVEX_AFX_THIS(p)->OnPaint(); *r = 0; return true; }},

#define ON_WM_QUERYDRAGICON()                                                                  \
    {WM_QUERYDRAGICON, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {        \
         *r = reinterpret_cast<LRESULT>(TARVEX_AFX_THIS(p)->OnQueryDragIcon()); return true; }},

#define ON_WM_SYSCOMMAND()                                                                     \
    {WM_SYSCOMMAND, 0, 0, 0, [](CCmdTarget* p, WPARAM w, LPARAM l, LRESULT* r) -> bool {       \
         TARVEX_AFX_THIS(p)->OnSysCommand(static_cast<UINT>(w), l); *r = 0; return true; }},

#define ON_WM_CHAR()                                                                           \
    {WM_CHAR, 0, 0, 0, [](CCmdTarget* p, WPARAM w, LPARAM l, LRESULT* r) -> bool {             \
         TARVEX_AFX_THIS(p)->OnChar(static_cast<UINT>(w), LOWORD(static_cast<std::uintptr_t>(l)), \
                                    HIWORD(static_cast<std::uintptr_t>(l)));                    \
         *r = 0; return true; }},

#define ON_WM_KEYDOWN()                                                                        \
    {WM_KEYDOWN, 0, 0, 0, [](CCmdTarget* p, WPARAM w, LPARAM l, LRESULT* r) -> bool {          \
         TARVEX_AFX_THIS(p)->OnKeyDown(static_cast<UINT>(w), LOWORD(static_cast<std::uintptr_t>(l)), \
                                       HIWORD(static_cast<std::uintptr_t>(l)));                 \
         *r = 0; return true; }},

#define ON_WM_CREATE()                                                                         \
    {WM_CREATE, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM l, LRESULT* r) -> bool {             \
         *r = TARVEX_AFX_THIS(p)->OnCreate(reinterpret_cast<LPCREATESTRUCT>(l)); return true; }},

#define ON_WM_DESTROY()                                                                        \
    {WM_DESTROY, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {              \
         TARVEX_AFX_THIS(p)->OnDestroy(); *r = 0; return true; }},

#define ON_WM_CLOSE()                                                                          \
    {WM_CLOSE, 0, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {                \
         TARVEX_AFX_THIS(p)->OnClose(); *r = 0; return true; }},

// A handler of the form LRESULT fn(WPARAM, LPARAM).
#define ON_MESSAGE(message, memberFxn)                                                         \
    {static_cast<UINT>(message), 0, 0, 0, [](CCmdTarget* p, WPARAM w, LPARAM l, LRESULT* r) -> bool { \
         *r = (TARVEX_AFX_THIS(p)->*(memberFxn))(w, l); return true; }},

// WM_COMMAND with a notification code from control id: void fn().
#define ON_CONTROL(wNotifyCode, id, memberFxn)                                                 \
    {WM_COMMAND, static_cast<UINT>(wNotifyCode), static_cast<UINT>(id), static_cast<UINT>(id), \
     [](CCmdTarget* p, WPARAM, LPARAM, LRESULT* r) -> bool {                                   \
         (TARVEX_AFX_THIS(p)->*(memberFxn))(); *r = 0; return true; }},

#define ON_COMMAND(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_CONTROL(EN_CHANGE, id, memberFxn)
