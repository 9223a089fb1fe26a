// The user interface stand-in: a message box is recorded and shown, blocks
// its caller until a test or its dismissal delay (virtual time) ends it;
// the shell reports itself ready from a set time on.
#include <gtest/gtest.h>

#include "platform/host.h"
#include "platform/platform.h"
#include "platform/ui/ui_host.h"
#include "sim_world.h"

#include <string>
#include <vector>

namespace {

struct BoxCall {
    const WCHAR* text;
    UINT style;
    int result = 0;
    uint64_t returnedAtMs = 0;
};

DWORD WINAPI ShowBox(LPVOID arg)
{
    BoxCall* call = static_cast<BoxCall*>(arg);
    call->result = MessageBoxW(GetForegroundWindow(), call->text, TEXT("Warning"), call->style);
    call->returnedAtMs = plat::NowMs();
    return 0;
}

class PlatformUi : public ::testing::Test {
protected:
    PlatformUi()
    {
        plat::ui::SetMessageBoxSink([this](const std::string& text) { shown_.push_back(text); });
    }
    ~PlatformUi() override
    {
        plat::ui::SetMessageBoxSink(nullptr);
        plat::ui::SetDismissDelayMs(plat::ui::kDefaultDismissDelayMs);
        plat::ui::SetShellReadyAtMs(0);
        plat::ui::SetForegroundWindow(plat::ui::DefaultForegroundWindow());
    }
    SimWorld world_{7};
    std::vector<std::string> shown_;
};

TEST_F(PlatformUi, BoxIsRecordedShownAndWaitsForItsDismissal)
{
    SCOPED_TRACE("seed 7");
    HWND owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x4242));
    plat::ui::SetForegroundWindow(owner);
    plat::ui::SetDismissDelayMs(plat::ui::kNeverDismissed);
    Sleep(25);
    BoxCall call{TEXT("line one\r\nline two"), 0x50000u};
    HANDLE t = CreateThread(NULL, 0, ShowBox, &call, 0, NULL);
    ASSERT_NE(t, nullptr);
    Sleep(5000);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);  // still on screen
    ASSERT_EQ(plat::ui::OpenMessageBoxCount(), 1u);
    EXPECT_TRUE(plat::ui::DismissMessageBox(0));
    EXPECT_FALSE(plat::ui::DismissMessageBox(0));
    EXPECT_FALSE(plat::ui::DismissMessageBox(1));
    ASSERT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(call.result, IDOK);
    EXPECT_EQ(call.returnedAtMs, 5025u);

    const auto boxes = plat::ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"Warning");
    EXPECT_EQ(boxes[0].text, u"line one\r\nline two");
    EXPECT_EQ(boxes[0].style, 0x50000u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].shownAtMs, 25u);
    EXPECT_TRUE(boxes[0].dismissed);
    EXPECT_EQ(boxes[0].dismissedAtMs, 5025u);
    EXPECT_EQ(plat::ui::OpenMessageBoxCount(), 0u);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_NE(shown_[0].find("Warning: line one\r\nline two"), std::string::npos);
    EXPECT_NE(shown_[0].find("style 0x50000"), std::string::npos);
}

TEST_F(PlatformUi, BoxDismissesItselfAfterTheDelayAndTheShellBecomesReady)
{
    SCOPED_TRACE("seed 7");
    EXPECT_EQ(MessageBoxW(NULL, TEXT("by default"), TEXT("Warning"), 0), IDOK);
    EXPECT_EQ(plat::NowMs(), plat::ui::kDefaultDismissDelayMs);
    Sleep(1000);  // the clock at 3000 ms
    plat::ui::SetDismissDelayMs(1500);
    plat::ui::SetShellReadyAtMs(5000);
    EXPECT_FALSE(IsAPIReady(SH_SHELL));
    EXPECT_FALSE(IsAPIReady(SH_WMGR));
    EXPECT_EQ(MessageBoxW(NULL, TEXT("first"), TEXT("Warning"), 0), IDOK);
    EXPECT_EQ(plat::NowMs(), 4500u);
    EXPECT_FALSE(IsAPIReady(SH_SHELL));
    Sleep(500);
    EXPECT_TRUE(IsAPIReady(SH_SHELL));
    EXPECT_FALSE(IsAPIReady(99));

    // A new world forgets the boxes of the last one.
    plat::BeginSimulation(8);
    EXPECT_TRUE(plat::ui::MessageBoxes().empty());
}

}  // namespace
