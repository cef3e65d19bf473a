// The monitor list and the placement of the dialog by monitor 0's size.
#include <gtest/gtest.h>

#include <vector>

#include "app/monitors.h"

namespace {

class MonitorsTest : public ::testing::Test {
protected:
    void SetUp() override { FreeMonitorList(); }
    void TearDown() override { FreeMonitorList(); }

    static void Add(RECT rect) { EXPECT_EQ(TRUE, MonitorEnumCallback(nullptr, nullptr, &rect, 0)); }

    static std::vector<int> Indices() {
        std::vector<int> indices;
        for (MonitorEntry* e = g_monitorList.head; e; e = e->next) indices.push_back(e->index);
        return indices;
    }
};

bool Same(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(MonitorsTest, EntriesAreNumberedFromZeroInOrder) {
    const RECT rects[] = {{0, 0, 1920, 1080}, {-1280, 0, 0, 1024}, {1920, -200, 3840, 880}};
    for (const RECT& r : rects) Add(r);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), Indices());
    for (int i = 0; i < 3; ++i) {
        RECT out = {};
        EXPECT_EQ(1, GetMonitorRect(&out, i));
        EXPECT_TRUE(Same(rects[i], out)) << i;
    }
    EXPECT_EQ(g_monitorList.tail, g_monitorList.head->next->next);
    EXPECT_EQ(nullptr, g_monitorList.tail->next);
}

TEST_F(MonitorsTest, UnknownIndexReturnsZeroAndLeavesTheRectangle) {
    Add({0, 0, 800, 600});
    const RECT untouched = {11, 22, 33, 44};
    for (int index : {1, -1, 1000}) {
        RECT out = untouched;
        EXPECT_EQ(0, GetMonitorRect(&out, index)) << index;
        EXPECT_TRUE(Same(untouched, out)) << index;
    }
}

TEST_F(MonitorsTest, FreeEmptiesTheListAndNumberingStartsAgain) {
    Add({0, 0, 800, 600});
    Add({800, 0, 1600, 600});
    FreeMonitorList();
    EXPECT_EQ(nullptr, g_monitorList.head);
    EXPECT_EQ(nullptr, g_monitorList.tail);
    RECT out = {};
    EXPECT_EQ(0, GetMonitorRect(&out, 0));
    Add({0, 0, 640, 480});
    EXPECT_EQ((std::vector<int>{0}), Indices());
    FreeMonitorList();
    FreeMonitorList();  // on an empty list too
    EXPECT_EQ(nullptr, g_monitorList.head);
}

TEST_F(MonitorsTest, CollectAppendsTheRealMonitorsAfterWhatIsThere) {
    Add({0, 0, 10, 10});
    CollectMonitors();
    const std::vector<int> indices = Indices();
    ASSERT_GE(indices.size(), 2u);
    for (std::size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(static_cast<int>(i), indices[i]);
    RECT first = {};
    ASSERT_EQ(1, GetMonitorRect(&first, 1));
    EXPECT_GT(first.right - first.left, 0);
}

// Where CenterDialog puts a hidden popup of exactly that outer size, whose size must stay.
POINT CenteredTopLeft(int width, int height) {
    HWND window = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, width, height, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(nullptr, window);
    CenterDialog(window);
    RECT r = {};
    GetWindowRect(window, &r);
    EXPECT_EQ(width, r.right - r.left);
    EXPECT_EQ(height, r.bottom - r.top);
    DestroyWindow(window);
    return {r.left, r.top};
}

TEST_F(MonitorsTest, CenterUsesMonitorZerosSizeFromTheOrigin) {
    struct Case {
        const char* name;
        std::vector<RECT> monitors;
        int width, height;
        POINT expected;
    };
    const Case cases[] = {
        {"centred", {{0, 0, 1920, 1080}}, 400, 300, {760, 390}},
        {"odd difference", {{0, 0, 1025, 769}}, 400, 300, {312, 234}},
        // (100 - 103) / 2 and (100 - 105) / 2 truncate toward zero: -1 and -2, not -2 and -3.
        {"larger than the monitor", {{0, 0, 100, 100}}, 103, 105, {-1, -2}},
        // Monitor 0 does not start at 0, 0: its position is not added.
        {"monitor not at the origin", {{1920, 100, 3200, 1124}}, 200, 100, {540, 462}},
        {"only monitor 0 counts", {{0, 0, 800, 600}, {800, 0, 2800, 1200}}, 200, 100, {300, 250}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreeMonitorList();
        for (const RECT& m : c.monitors) Add(m);
        const POINT p = CenteredTopLeft(c.width, c.height);
        EXPECT_EQ(c.expected.x, p.x);
        EXPECT_EQ(c.expected.y, p.y);
    }
}

TEST_F(MonitorsTest, CenterWithoutMonitorsUsesThePrimaryWorkArea) {
    RECT area;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0));
    const POINT p = CenteredTopLeft(300, 200);
    EXPECT_EQ(area.left + (area.right - area.left - 300) / 2, p.x);
    EXPECT_EQ(area.top + (area.bottom - area.top - 200) / 2, p.y);
}

}  // namespace
