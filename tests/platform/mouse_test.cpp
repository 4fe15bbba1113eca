#include "desk_fixture.hpp"

#include <pcplat/cpu.h>
#include <pcplat/mouse.h>

#include <vector>

namespace pcplat {
namespace {

struct Call {
    uint16_t ax, bx, cx, dx, si, di;
    bool interrupts;
};
std::vector<Call> g_calls;

void record(const RealRegs* r) {
    g_calls.push_back({static_cast<uint16_t>(r->eax), static_cast<uint16_t>(r->ebx),
                       static_cast<uint16_t>(r->ecx), static_cast<uint16_t>(r->edx),
                       static_cast<uint16_t>(r->esi), static_cast<uint16_t>(r->edi),
                       cpu_interrupts_enabled() != 0});
}

RealRegs driver(uint16_t function, uint16_t cx = 0, uint16_t dx = 0) {
    RealRegs r{};
    r.eax = function;
    r.ecx = cx;
    r.edx = dx;
    EXPECT_EQ(dpmi_real_int(0x33, &r), 1);
    return r;
}

void set_routine(uint16_t mask) {
    RealRegs r{};
    r.eax = MOUSE_SET_EVENT_ROUTINE;
    r.ecx = mask;
    r.es = cpu_code_selector();
    r.edx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&record));
    dpmi_real_int(0x33, &r);
}

class MouseDriver : public testing::DeskTest {
  protected:
    void SetUp() override {
        g_calls.clear();
        DeskTest::SetUp();
    }
    // One hardware event, taken in at a safe point.
    void move(int16_t dx, int16_t dy, uint8_t buttons = 0) {
        m().mouse().event(dx, dy, buttons);
        cpu_poll();
    }
};

TEST_F(MouseDriver, ResetReportsThreeButtonsAndCentresThePointer) {
    const RealRegs r = driver(MOUSE_RESET);
    EXPECT_EQ(r.eax & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(r.ebx & 0xFFFF, 3u);
    EXPECT_EQ(m().mouse().x(), 320);
    EXPECT_EQ(m().mouse().y(), 100);
}

// Each row starts from a reset; the setup calls come before the motion.
TEST_F(MouseDriver, RangesAndRatiosTurnMickeysIntoAPositionInsideTheRange) {
    struct Case {
        const char* what;
        int16_t x_min, x_max, y_min, y_max; // 0 and 0: the defaults
        bool set_ratio;
        uint16_t ratio_x, ratio_y;
        std::vector<std::pair<int16_t, int16_t>> motion;
        int16_t x, y;
    };
    const Case cases[] = {
        {"8 and 16 mickeys per 8 pixels", 0, 0, 0, 0, false, 0, 0, {{16, 16}}, 336, 108},
        {"a part pixel is kept", 0, 0, 0, 0, false, 0, 0, {{0, 1}, {0, 1}}, 320, 101},
        {"upwards too", 0, 0, 0, 0, false, 0, 0, {{0, -1}, {0, -1}}, 320, 99},
        {"clamped at the default ranges", 0, 0, 0, 0, false, 0, 0, {{30000, -30000}}, 639, 0},
        {"limits in either order", 600, 100, 50, -20, false, 0, 0, {{-30000, 30000}}, 100, 50},
        {"a new range moves the pointer inside", 400, 500, 0, 20, false, 0, 0, {}, 400, 20},
        {"faster and slower", 0, 0, 0, 0, true, 4, 32, {{10, 32}}, 340, 108},
        {"a ratio of 0 or less is refused", 0, 0, 0, 0, true, 0xFFFF, 0, {{16, 16}}, 336, 108},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        driver(MOUSE_RESET);
        if (c.x_min || c.x_max)
            driver(MOUSE_SET_X_RANGE, static_cast<uint16_t>(c.x_min),
                   static_cast<uint16_t>(c.x_max));
        if (c.y_min || c.y_max)
            driver(MOUSE_SET_Y_RANGE, static_cast<uint16_t>(c.y_min),
                   static_cast<uint16_t>(c.y_max));
        if (c.set_ratio) driver(MOUSE_SET_RATIO, c.ratio_x, c.ratio_y);
        for (const auto& [dx, dy] : c.motion)
            move(dx, dy);
        EXPECT_EQ(m().mouse().x(), c.x);
        EXPECT_EQ(m().mouse().y(), c.y);
    }
}

TEST_F(MouseDriver, TheRoutineIsCalledForTheKindsInItsMaskWithTheFlagClear) {
    driver(MOUSE_RESET);
    set_routine(MOUSE_EVENT_MOVE | MOUSE_EVENT_LEFT_DOWN | MOUSE_EVENT_RIGHT_UP);
    move(8, -16);                                         // move
    move(0, 0, MOUSE_BUTTON_LEFT);                        // left down
    move(0, 0, MOUSE_BUTTON_LEFT | MOUSE_BUTTON_RIGHT);   // right down: not in the mask
    move(0, 0, MOUSE_BUTTON_RIGHT);                       // left up: not in the mask
    move(0, 0, MOUSE_BUTTON_MIDDLE);                      // right up, middle down
    move(0, 0, MOUSE_BUTTON_MIDDLE);                      // nothing happened
    move(16, 0, MOUSE_BUTTON_MIDDLE | MOUSE_BUTTON_LEFT); // move and left down in one
    ASSERT_EQ(g_calls.size(), 4u);
    const uint16_t minus_16 = 0xFFF0;
    EXPECT_EQ(g_calls[0].ax, MOUSE_EVENT_MOVE);
    EXPECT_EQ(g_calls[0].cx, 328);
    EXPECT_EQ(g_calls[0].dx, 92);
    EXPECT_EQ(g_calls[0].si, 8);
    EXPECT_EQ(g_calls[0].di, minus_16);
    EXPECT_EQ(g_calls[1].ax, MOUSE_EVENT_LEFT_DOWN);
    EXPECT_EQ(g_calls[1].bx, MOUSE_BUTTON_LEFT);
    // The whole event is told, not just the part the mask asked for.
    EXPECT_EQ(g_calls[2].ax, MOUSE_EVENT_RIGHT_UP | MOUSE_EVENT_MIDDLE_DOWN);
    EXPECT_EQ(g_calls[2].bx, MOUSE_BUTTON_MIDDLE);
    EXPECT_EQ(g_calls[3].ax, MOUSE_EVENT_MOVE | MOUSE_EVENT_LEFT_DOWN);
    EXPECT_EQ(g_calls[3].cx, 344);
    EXPECT_EQ(g_calls[3].si, 24); // mickeys counted since the reset
    for (const Call& call : g_calls)
        EXPECT_FALSE(call.interrupts);
    EXPECT_TRUE(cpu_interrupts_enabled());
    EXPECT_FALSE(m().pic().in_service(Mouse::kIrq)); // the driver ended each interrupt
}

TEST_F(MouseDriver, EventsWaitForTheInterruptFlagAndComeOneInterruptEach) {
    driver(MOUSE_RESET);
    set_routine(0xFF);
    cpu_cli();
    m().mouse().event(8, 0, 0);
    m().mouse().event(8, 0, 0);
    m().mouse().event(8, 0, 0);
    cpu_poll();
    EXPECT_TRUE(g_calls.empty());
    cpu_sti();
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].cx, 344);
    EXPECT_EQ(m().mouse().queued(), 0u);
}

TEST_F(MouseDriver, ResetDropsTheRoutineAndARoutineOfZeroIsNone) {
    driver(MOUSE_RESET);
    set_routine(0xFF);
    EXPECT_TRUE(m().mouse().has_routine());
    driver(MOUSE_RESET);
    EXPECT_FALSE(m().mouse().has_routine());
    EXPECT_EQ(m().mouse().call_mask(), 0);
    move(8, 8, MOUSE_BUTTON_LEFT);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(m().mouse().buttons(), MOUSE_BUTTON_LEFT); // the buttons are the mouse's own

    // 0:0 with a mask: no routine to call, nothing faults.
    driver(MOUSE_SET_EVENT_ROUTINE, 0xFF, 0);
    move(8, 0);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(m().faults(), 0u);
}

class NoMouse : public MouseDriver {
  protected:
    std::string profile_text() override { return "[mouse]\npresent = false\n"; }
};

TEST_F(NoMouse, NothingAnswersAndNoEventsCome) {
    EXPECT_FALSE(m().mouse().present());
    RealRegs r{};
    r.ebx = 0x1234;
    ASSERT_EQ(dpmi_real_int(0x33, &r), 1);
    EXPECT_EQ(r.eax, 0u);
    EXPECT_EQ(r.ebx, 0x1234u);
    set_routine(0xFF);
    move(8, 8, MOUSE_BUTTON_LEFT);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(m().mouse().queued(), 0u);
}

} // namespace
} // namespace pcplat
