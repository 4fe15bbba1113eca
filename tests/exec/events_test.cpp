#include "exec_fixture.hpp"

#include <pcplat/cpu.h>
#include <pcplat/dos.h>
#include <pcplat/mouse.h>
#include <pcplat/win32.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace vantrel::testing {
namespace {

ExecTable* g_exec = nullptr;
// The table's tick count at each call of the two timer callbacks.
std::vector<uint32_t> g_fast_calls, g_slow_calls;
std::vector<uint16_t> g_keys;
std::vector<MouseRegs> g_mouse;
int g_running = 0; // callbacks under way: more than 1 would be a nested delivery
int g_most_running = 0;
std::function<void()> g_during_fast; // what the fast callback does besides counting

void enter() {
    g_most_running = std::max(g_most_running, ++g_running);
}

void fast_timer() {
    enter();
    g_fast_calls.push_back(uint32_t{g_exec->tick_count});
    if (g_during_fast) g_during_fast();
    --g_running;
}

void slow_timer() {
    enter();
    g_slow_calls.push_back(uint32_t{g_exec->tick_count});
    --g_running;
}

std::vector<uint32_t> g_other_calls;
void other_timer() {
    g_other_calls.push_back(uint32_t{g_exec->tick_count});
}

void key_handler(uint16_t scan_code) {
    g_keys.push_back(scan_code);
}

void mouse_handler(MouseRegs* state) {
    g_mouse.push_back(*state);
}

class Events : public ExecTest {
  protected:
    void SetUp() override {
        g_fast_calls.clear();
        g_slow_calls.clear();
        g_other_calls.clear();
        g_keys.clear();
        g_mouse.clear();
        g_running = g_most_running = 0;
        g_during_fast = nullptr;
        ExecTest::SetUp();
        g_exec = exec_;
    }
    EventSource& source(int n) { return exec_->events[n]; }
};

constexpr uint32_t kTickDivisor = 30392;

TEST_F(Events, TheOpenHooksTheTickAt39HzAndTimersFollowTheirPeriods) {
    EXPECT_EQ(m().pit().divisor(0), kTickDivisor);
    EXPECT_EQ(m().pit().mode(0), 2);
    ASSERT_NE(exec_->EXEC_TIMERAdd(fast_timer, 1), nullptr);
    TimerNode* slow = exec_->EXEC_TIMERAdd(slow_timer, 3);
    ASSERT_NE(slow, nullptr);
    const int32_t depth_before = depth();
    for (int i = 0; i < 7; ++i)
        pass_ticks(1);
    EXPECT_EQ(uint32_t{exec_->tick_count}, 7u);
    EXPECT_EQ(g_fast_calls, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(g_slow_calls, (std::vector<uint32_t>{3, 6}));
    EXPECT_EQ(slow->counter, 1);
    EXPECT_EQ(depth(), depth_before);
    // The BIOS still counts every tick behind the hook.
    EXPECT_EQ(bios_ticks(), 7u);
}

TEST_F(Events, TimerAddRefusesWhatCouldNeverRun) {
    const uint32_t allocated = uint32_t{exec_->bytes_allocated};
    EXPECT_EQ(exec_->EXEC_TIMERAdd(nullptr, 1), nullptr);
    EXPECT_EQ(exec_->EXEC_TIMERAdd(fast_timer, 0), nullptr);
    EXPECT_EQ(exec_->EXEC_TIMERAdd(fast_timer, -5), nullptr);
    EXPECT_EQ(uint32_t{exec_->bytes_allocated}, allocated);
    exec_->EXEC_TIMERRemove(nullptr);
}

TEST_F(Events, ALockedTimerSourceKeepsItsTicksAndDeliversThemInOneRun) {
    exec_->EXEC_TIMERAdd(fast_timer, 1);
    TimerNode* slow = exec_->EXEC_TIMERAdd(slow_timer, 3);
    exec_->EXEC_EVENTLock(EXEC_EVENT_TIMER);
    for (int i = 0; i < 10; ++i)
        pass_ticks(1);
    EXPECT_TRUE(g_fast_calls.empty());
    EXPECT_EQ(int16_t{source(EXEC_EVENT_TIMER).pending_count}, 10);
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_TIMER);
    pass_ticks(1);
    // Eleven pending ticks, all in the run of tick 11.
    EXPECT_EQ(g_fast_calls, std::vector<uint32_t>(11, 11));
    EXPECT_EQ(g_slow_calls, std::vector<uint32_t>(3, 11));
    EXPECT_EQ(slow->counter, 2);
    EXPECT_EQ(int16_t{source(EXEC_EVENT_TIMER).pending_count}, 0);

    // A source held for ever keeps its count at the top instead of wrapping below zero.
    exec_->EXEC_EVENTLock(EXEC_EVENT_TIMER);
    source(EXEC_EVENT_TIMER).pending_count = 0x7FFF;
    pass_ticks(1);
    EXPECT_EQ(int16_t{source(EXEC_EVENT_TIMER).pending_count}, 0x7FFF);
}

TEST_F(Events, CallbacksMayRemoveTimersWhileTheListIsWalked) {
    TimerNode* first = exec_->EXEC_TIMERAdd(fast_timer, 1);
    TimerNode* second = exec_->EXEC_TIMERAdd(slow_timer, 1);
    exec_->EXEC_TIMERAdd(other_timer, 1);
    const uint32_t allocated = uint32_t{exec_->bytes_allocated};
    // The first removes itself and the node after it, which the walk would have come to next.
    g_during_fast = [&] {
        g_exec->EXEC_TIMERRemove(first);
        g_exec->EXEC_TIMERRemove(second);
    };
    pass_ticks(1);
    pass_ticks(1);
    EXPECT_EQ(g_fast_calls, (std::vector<uint32_t>{1}));
    EXPECT_TRUE(g_slow_calls.empty());
    EXPECT_EQ(g_other_calls, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(uint32_t{exec_->bytes_allocated}, allocated - 2 * (sizeof(TimerNode) + 16));
}

TEST_F(Events, ATickThatComesWhileTheDispatcherRunsIsDeliveredAsPending) {
    exec_->EXEC_TIMERAdd(fast_timer, 1);
    // On the PC the controller holds further ticks until the end of interrupt, so the callback
    // sends one before it lets time pass and reaches a safe point.
    g_during_fast = [this] {
        if (g_fast_calls.size() > 1) return;
        io_outb(0x20, 0x20);
        m().manual_clock()->advance_ns(m().pit().period_ns(0));
        g_exec->EXEC_INTDisable();
        g_exec->EXEC_INTEnable();
    };
    const int32_t depth_before = depth();
    pass_ticks(1);
    EXPECT_EQ(uint32_t{exec_->tick_count}, 2u); // the nested run counted its tick
    EXPECT_EQ(g_fast_calls, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(g_most_running, 1); // and delivered nothing itself
    EXPECT_EQ(int16_t{source(EXEC_EVENT_TIMER).pending_count}, 0);
    EXPECT_EQ(depth(), depth_before);
    pass_ticks(1);
    EXPECT_EQ(g_fast_calls.size(), 3u); // the dispatcher is free again
}

TEST_F(Events, KeysWaitInTheRingWhileLockedAndComeInOrder) {
    exec_->EXEC_KEYSetHandler(key_handler);
    exec_->EXEC_EVENTLock(EXEC_EVENT_KEYBOARD);
    for (uint8_t code = 1; code <= 40; ++code)
        m().kbc().push_scancode(code);
    pass_ticks(2);
    EXPECT_TRUE(g_keys.empty());
    EXPECT_EQ(int16_t{source(EXEC_EVENT_KEYBOARD).pending_count}, 40);
    exec_->EXEC_EVENTUnlock(EXEC_EVENT_KEYBOARD);
    pass_ticks(1);
    std::vector<uint16_t> first_31;
    for (uint16_t code = 1; code <= 31; ++code)
        first_31.push_back(code);
    EXPECT_EQ(g_keys, first_31);

    // The ring has room again, and the codes after the drop go round its end.
    m().kbc().push_scancode(0x41);
    m().kbc().push_scancode(0x42);
    cpu_poll(); // the keys come in before the tick
    pass_ticks(1);
    EXPECT_EQ(g_keys.size(), 33u);
    EXPECT_EQ(g_keys[31], 0x41);
    EXPECT_EQ(g_keys[32], 0x42);
}

TEST_F(Events, TheKeyHookKeepsKeysFromTheBiosUntilTheHandlerIsWithdrawn) {
    FarPtr bios{};
    dos_get_vector(0x09, &bios);
    exec_->EXEC_KEYSetHandler(key_handler);
    m().kbc().type_text("a");
    cpu_poll();
    pass_ticks(1);
    EXPECT_EQ(g_keys, (std::vector<uint16_t>{0x1E, 0x9E}));
    EXPECT_EQ(console_key_waiting(), 0);

    exec_->EXEC_KEYSetHandler(nullptr);
    FarPtr now{};
    dos_get_vector(0x09, &now);
    EXPECT_EQ(now.offset, bios.offset);
    m().kbc().type_text("b");
    EXPECT_EQ(console_read_key(), 'b');
    pass_ticks(1);
    EXPECT_EQ(g_keys.size(), 2u);

    // A second handler replaces the first without hooking twice.
    exec_->EXEC_KEYSetHandler(key_handler);
    exec_->EXEC_KEYSetHandler(key_handler);
    exec_->EXEC_KEYSetHandler(nullptr);
    dos_get_vector(0x09, &now);
    EXPECT_EQ(now.offset, bios.offset);
}

TEST_F(Events, MouseEventsOfOneTickGiveOneCallWithTheLastState) {
    exec_->EXEC_MOUSESetHandler(mouse_handler);
    m().mouse().event(8, 0, 0);
    m().mouse().event(8, 16, MOUSE_BUTTON_LEFT);
    m().mouse().event(8, 0, MOUSE_BUTTON_LEFT);
    cpu_poll();
    EXPECT_TRUE(g_mouse.empty());
    EXPECT_EQ(int16_t{source(EXEC_EVENT_MOUSE).pending_count}, 3);
    pass_ticks(1);
    ASSERT_EQ(g_mouse.size(), 1u);
    EXPECT_EQ(g_mouse[0].event_mask, MOUSE_EVENT_MOVE);
    EXPECT_EQ(g_mouse[0].buttons, MOUSE_BUTTON_LEFT);
    EXPECT_EQ(g_mouse[0].x, 344);
    EXPECT_EQ(g_mouse[0].y, 108);
    EXPECT_EQ(g_mouse[0].mickeys_x, 24);
    EXPECT_EQ(g_mouse[0].mickeys_y, 16);
    pass_ticks(1);
    EXPECT_EQ(g_mouse.size(), 1u);

    // The range and speed reach the driver.
    EXPECT_EQ(exec_->EXEC_MOUSESetRange(10, 20, 100, 50, 16, 8), 1);
    m().mouse().event(-32, 32, 0);
    cpu_poll();
    pass_ticks(1);
    ASSERT_EQ(g_mouse.size(), 2u);
    EXPECT_EQ(g_mouse[1].x, 84);
    EXPECT_EQ(g_mouse[1].y, 50);
}

class EventsWithoutMouse : public Events {
  protected:
    std::string profile_text() override { return "[mouse]\npresent = false\n"; }
};

TEST_F(EventsWithoutMouse, NoDriverGivesNoEventsAndNoRange) {
    exec_->EXEC_MOUSESetHandler(mouse_handler);
    EXPECT_EQ(exec_->EXEC_MOUSESetRange(0, 0, 100, 100, 8, 8), 0);
    m().mouse().event(8, 8, MOUSE_BUTTON_LEFT);
    pass_ticks(2);
    EXPECT_TRUE(g_mouse.empty());
    EXPECT_EQ(uint32_t{exec_->tick_count}, 2u); // the tick is there all the same
}

int g_restored_ticks = 0;
void count_restored() {
    ++g_restored_ticks;
}

TEST_F(Events, AfterTheCloseTheTickKeepsItsRateForTheRestoredHandler) {
    // A handler of INT 1Ch from before the open, to be chained to and then restored.
    EXEC_CloseExec();
    g_restored_ticks = 0;
    FarPtr before{};
    dos_get_vector(0x1C, &before);
    const FarPtr counting{static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&count_restored)),
                          cpu_code_selector()};
    dos_set_vector(0x1C, counting);
    ASSERT_EQ(EXEC_OpenExec(0), exec_);
    exec_->EXEC_TIMERAdd(fast_timer, 1);
    exec_->EXEC_KEYSetHandler(key_handler);
    exec_->EXEC_MOUSESetHandler(mouse_handler);
    const uint32_t allocated = uint32_t{exec_->bytes_allocated};
    pass_ticks(2);
    EXPECT_EQ(g_restored_ticks, 2); // chained behind the dispatcher
    EXPECT_EQ(g_fast_calls.size(), 2u);

    EXEC_CloseExec();
    EXPECT_EQ(uint32_t{exec_->bytes_allocated}, allocated - (sizeof(TimerNode) + 16));
    FarPtr vector{};
    dos_get_vector(0x1C, &vector);
    EXPECT_EQ(vector.offset, counting.offset);
    EXPECT_EQ(m().pit().divisor(0), kTickDivisor);
    const uint32_t ticks = uint32_t{exec_->tick_count};
    m().manual_clock()->advance_ns(1'000'000'000);
    cpu_poll();
    EXPECT_EQ(g_restored_ticks, 2 + 39); // 39.26 Hz for a second
    EXPECT_EQ(uint32_t{exec_->tick_count}, ticks);
    EXPECT_EQ(g_fast_calls.size(), 2u);
    // Keys go to the BIOS again, the mouse to nobody.
    m().kbc().type_text("k");
    m().mouse().event(8, 8, 0);
    EXPECT_EQ(console_read_key(), 'k');
    EXPECT_TRUE(g_mouse.empty());
    EXPECT_FALSE(m().mouse().has_routine());
    dos_set_vector(0x1C, before);
}

} // namespace
} // namespace vantrel::testing
