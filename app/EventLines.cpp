#include "app/EventLines.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/TarvexDlg.h"
#include "upgrade/EventJson.h"

const char* ResultPictureName(CTarvexDlg::ResultPicture p)
{
    switch (p) {
    case CTarvexDlg::ResultPicture::Initial: return "initial";
    case CTarvexDlg::ResultPicture::Success: return "success";
    case CTarvexDlg::ResultPicture::Failure: return "failure";
    default: return "none";
    }
}

namespace {

struct Shown {
    std::string text;
    const char* colour = "";
    int progress = -1;
    const char* result = "";
    bool operator==(const Shown& o) const
    {
        return text == o.text && std::strcmp(colour, o.colour) == 0 && progress == o.progress && std::strcmp(result, o.result) == 0;
    }
};

} // namespace

bool EventLinesWanted()
{
    const char* e = std::getenv("TARVEX_EVENTS");
    return e && *e && std::strcmp(e, "0") != 0;
}

void AttachEventLines(CTarvexDlg& dlg)
{
    const auto start = std::chrono::steady_clock::now();
    auto last = std::make_shared<Shown>();
    dlg.m_fnObserver = [&dlg, start, last](CTarvexDlg::Change c) {
        const double t = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        using Change = CTarvexDlg::Change;
        switch (c) {
        case Change::AppDevice:
        case Change::IspDevice: {
            const bool app = c == Change::AppDevice;
            const bool present = app ? dlg.m_AppComm.IsOpen() : dlg.m_ISPComm.IsOpen();
            std::printf("{\"t_ms\":%.1f,\"notify\":\"%s\",\"present\":%s}\n", t, app ? "app" : "isp", present ? "true" : "false");
            break;
        }
        case Change::RunStarted:
        case Change::RunEnded:
            std::printf("{\"t_ms\":%.1f,\"run\":\"%s\"}\n", t, c == Change::RunStarted ? "started" : "ended");
            break;
        default: {
            Shown now{dlg.GetStatusText().ToUtf8(), "", dlg.GetProgress(), ResultPictureName(dlg.GetResultPicture())};
            now.colour = now.text.empty() ? "face" : StatusColourName(dlg.GetStatusColor());
            if (now == *last) return;
            *last = now;
            std::printf("{\"t_ms\":%.1f,\"text\":%s,\"colour\":\"%s\",\"progress\":%d,\"result\":\"%s\"}\n", t,
                        JsonString(now.text).c_str(), now.colour, now.progress, now.result);
        }
        }
        std::fflush(stdout);
    };
}
