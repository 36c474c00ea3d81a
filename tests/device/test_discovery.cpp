// Discovery past a collection that cannot be used: the presence poll opens the first matching
// collection that lets it, so one held by another program, or one whose feature reports
// cannot hold the bootloader's layout, does not hide the usable one behind it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DeviceTestUtil.h"
#include "device/DunX4ISPUSBComm.h"
#include "device/QL40USBComm.h"
#include "platform/hid/HidBackend.h"

using namespace platform::hid;

namespace {

struct Listed {
    DeviceInfo info;
    OpenError refusal = OpenError::None; // None: it opens
};

class IdleDevice : public IHidDevice
{
public:
    explicit IdleDevice(DeviceInfo info) : m_info(std::move(info)) {}
    int Write(const std::uint8_t*, std::size_t, unsigned) override { return -1; }
    int Read(std::uint8_t*, std::size_t, unsigned) override { return 0; }
    int SetFeature(const std::uint8_t*, std::size_t) override { return -1; }
    int GetFeature(std::uint8_t*, std::size_t) override { return -1; }
    bool GetInfo(DeviceInfo& info) override
    {
        info = m_info;
        return true;
    }
    void Close() override {}

private:
    DeviceInfo m_info;
};

// A backend of fixed collections, in the order given; counts the opens per path.
class ListedBackend : public IHidBackend
{
public:
    explicit ListedBackend(std::vector<Listed> l) : m_list(std::move(l)) {}
    std::vector<DeviceInfo> Enumerate() override
    {
        std::vector<DeviceInfo> out;
        for (auto& l : m_list) out.push_back(l.info);
        return out;
    }
    bool GetInfo(const std::string& path, DeviceInfo& info) override
    {
        for (auto& l : m_list)
            if (l.info.path == path) {
                info = l.info;
                return true;
            }
        return false;
    }
    std::shared_ptr<IHidDevice> Open(const std::string& path, OpenError* err) override
    {
        for (auto& l : m_list) {
            if (l.info.path != path) continue;
            if (err) *err = l.refusal;
            if (l.refusal == OpenError::AccessDenied) NoteAccessDenied(path);
            if (l.refusal != OpenError::None) return nullptr;
            ClearAccessDenied(); // as the real backends do
            return std::make_shared<IdleDevice>(l.info);
        }
        if (err) *err = OpenError::NotFound;
        return nullptr;
    }

private:
    std::vector<Listed> m_list;
};

DeviceInfo Bootloader(const char* path, std::uint16_t featureLength)
{
    DeviceInfo d;
    d.path = path;
    d.vendorId = 0x040B;
    d.productId = 0x6876;
    d.usagePage = 0xFF00;
    d.featureReportLength = featureLength;
    return d;
}

DeviceInfo Application(const char* path)
{
    DeviceInfo d;
    d.path = path;
    d.vendorId = 0x1EA7;
    d.productId = 0x0F40;
    d.usagePage = 0xFFBA;
    d.inputReportLength = d.outputReportLength = 8;
    return d;
}

class Discovery : public ::testing::Test
{
protected:
    void SetUp() override { platform::SetTimeScale(0.02); } // the poll's second in 20 ms
    void TearDown() override
    {
        InstallBackend(nullptr);
        ClearAccessDenied();
        platform::SetTimeScale(1.0);
    }
};

} // namespace

TEST_F(Discovery, TheBootloaderPollPassesOverWhatItCannotUse)
{
    struct Row {
        const char* what;
        std::vector<Listed> list;
        const char16_t* opened;
    } rows[] = {
        {"held by another program", {{Bootloader("a", 65), OpenError::AccessDenied}, {Bootloader("b", 65)}}, u"b"},
        {"feature reports too short", {{Bootloader("a", 16)}, {Bootloader("b", 65)}}, u"b"},
        {"feature reports too long", {{Bootloader("a", 2000)}, {Bootloader("b", 41)}}, u"b"},
        {"both usable: the first", {{Bootloader("a", 65)}, {Bootloader("b", 65)}}, u"a"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        InstallBackend(std::make_shared<ListedBackend>(r.list));
        CDunX4ISPUSBComm isp;
        isp.Start();
        EXPECT_TRUE(testutil::WaitFor([&] { return isp.IsOpen(); }));
        EXPECT_EQ(isp.GetDevicePath(), CString(r.opened));
        isp.Stop();
        isp.Close();
    }
}

TEST_F(Discovery, AnApplicationCollectionThatRefusesIsPassedOverAndItsReasonKept)
{
    InstallBackend(std::make_shared<ListedBackend>(
        std::vector<Listed>{{Application("held"), OpenError::AccessDenied}, {Application("free")}}));
    CQL40USBComm app;
    app.Start();
    EXPECT_TRUE(testutil::WaitFor([&] { return app.IsOpen(); }));
    EXPECT_EQ(app.GetDevicePath(), CString(u"free"));
    app.Stop();
    app.Close();

    // Nothing else to open: the refusal stays noted, with the path, for the run log.
    EXPECT_FALSE(AccessDeniedSeen());
    InstallBackend(std::make_shared<ListedBackend>(std::vector<Listed>{{Application("held"), OpenError::AccessDenied}}));
    CQL40USBComm alone;
    alone.Start();
    EXPECT_TRUE(testutil::WaitFor([&] { return AccessDeniedSeen(); }));
    EXPECT_NE(AccessDeniedReason().find("held is present but cannot be opened"), std::string::npos) << AccessDeniedReason();
    alone.Stop();
    EXPECT_FALSE(alone.IsOpen());
}
