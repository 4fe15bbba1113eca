// Event dispatch and timers: the dispatcher that the timer tick runs, the note routines of the
// keyboard and mouse hooks, the key ring, the timer list and the client services. The hooks only
// note what happened; callbacks run from the dispatcher, which holds back a locked source's
// events as pending counts for a later tick.
#include "core/library.hpp"
#include "hw/interrupt_hooks.hpp"

#include <cstdint>
#include <limits>

namespace vantrel {

namespace {

constexpr uint32_t kIdTimerAdd = 0x10001030;
constexpr uint32_t kIdTimerRemove = 0x10001040;
constexpr uint32_t kIdKeySetHandler = 0x10001050;
constexpr uint32_t kIdDispatcher = 0x10001060;
constexpr uint16_t kOwnerRuntime = 1;
constexpr uint16_t kKeyRingSize = 32;
constexpr uint16_t kMouseInterrupt = 0x33;
constexpr uint32_t kMouseSetXRange = 7;
constexpr uint32_t kMouseSetYRange = 8;
constexpr uint32_t kMouseSetRatio = 15;

using KeyHandler = void (*)(uint16_t scan_code);
using MouseHandler = void (*)(MouseRegs* state);

struct EventState {
    ExecList timers{};
    uint8_t key_ring[kKeyRingSize]{};
    uint16_t key_head = 0; // the slot written last
    uint16_t key_tail = 0; // the slot delivered last; equal to the head when the ring is empty
    MouseRegs mouse_state{};
    KeyHandler key_handler = nullptr;
    MouseHandler mouse_handler = nullptr;
    uint16_t busy = 0;
    uint16_t nesting = 0;
    // The node the dispatcher's walk of the timer list comes to next, so that a callback may
    // remove its own node, or any other, while the walk is under way.
    TimerNode* walk_next = nullptr;
};

EventState g_events;

uint16_t next_slot(uint16_t slot) {
    return static_cast<uint16_t>((slot + 1) % kKeyRingSize);
}

// A source locked for longer than 32767 events keeps the count at its top rather than wrapping
// to a negative count, which would hold back everything for as long again after the unlock.
void note_pending(EventSource& source) {
    if (source.pending_count < std::numeric_limits<int16_t>::max()) ++source.pending_count;
}

TimerNode* next_timer(const TimerNode* node) {
    return reinterpret_cast<TimerNode*>(node->node.next);
}

void keyboard_note() {
    ExecTable* t = exec();
    EventState& e = g_events;
    InterruptsOff off;
    note_pending(t->events[EXEC_EVENT_KEYBOARD]);
    // A full ring drops the newest code.
    const uint16_t next = next_slot(e.key_head);
    if (next == e.key_tail) return;
    e.key_head = next;
    e.key_ring[next] = hooks().last_scan_code;
}

void mouse_note() {
    g_events.mouse_state = hooks().mouse_regs;
    note_pending(exec()->events[EXEC_EVENT_MOUSE]);
}

// Only the latest state is delivered, once per tick, however many events were noted.
void deliver_mouse(EventSource& mouse, TraceScope& trace) {
    EventState& e = g_events;
    if (mouse.busy_count) return;
    mouse.busy_count = 1;
    if (mouse.lock_count == 0 && e.nesting == 1 && mouse.pending_count != 0) {
        mouse.pending_count = 0;
        if (const MouseHandler handler = e.mouse_handler) {
            trace.step(2);
            handler(&e.mouse_state);
            trace.step(3);
        }
    }
    mouse.busy_count = 0;
}

void deliver_timers(EventSource& timer, bool tick) {
    EventState& e = g_events;
    if (tick) note_pending(timer);
    if (timer.busy_count) return;
    timer.busy_count = 1;
    if (timer.lock_count == 0 && e.nesting == 1) {
        while (timer.pending_count > 0) {
            --timer.pending_count;
            for (TimerNode* node = reinterpret_cast<TimerNode*>(e.timers.head); node;
                 node = e.walk_next) {
                e.walk_next = next_timer(node);
                if (++node->counter >= node->period) {
                    node->counter = 0;
                    if (node->callback) node->callback();
                }
            }
            e.walk_next = nullptr;
        }
    }
    timer.busy_count = 0;
}

// Codes noted while the handler runs raise the pending count again and come in the same tick.
void deliver_keys(EventSource& keys) {
    EventState& e = g_events;
    if (keys.busy_count) return;
    keys.busy_count = 1;
    if (keys.lock_count == 0 && e.nesting == 1) {
        while (keys.pending_count > 0) {
            keys.pending_count = 0;
            // A handler may withdraw itself (or put another in) from inside the call.
            for (KeyHandler handler = e.key_handler; handler && e.key_tail != e.key_head;
                 handler = e.key_handler) {
                e.key_tail = next_slot(e.key_tail);
                handler(e.key_ring[e.key_tail]);
            }
        }
    }
    keys.busy_count = 0;
}

void dispatch(bool tick) {
    TraceScope trace(kIdDispatcher);
    ExecTable* t = exec();
    ++t->tick_count;
    EventState& e = g_events;
    EventSource* sources = t->events;
    {
        InterruptsOff off;
        if (e.busy) {
            // Running further down the stack already: the tick waits as a pending one.
            if (tick) note_pending(sources[EXEC_EVENT_TIMER]);
            return;
        }
        e.busy = 1;
    }
    ++e.nesting;
    trace.step(1);
    deliver_mouse(sources[EXEC_EVENT_MOUSE], trace);
    trace.step(4);
    deliver_timers(sources[EXEC_EVENT_TIMER], tick);
    trace.step(5);
    deliver_keys(sources[EXEC_EVENT_KEYBOARD]);
    trace.step(6);
    --e.nesting;
    InterruptsOff off;
    e.busy = 0;
}

void dispatch_tick() {
    dispatch(true);
}

} // namespace

void start_event_machinery() {
    ExecTable* t = exec();
    for (EventSource& source : t->events) {
        source.lock_count = 0;
        source.pending_count = 0;
        source.busy_count = 0;
    }
    EventState& e = g_events;
    t->EXEC_LISTInit(&e.timers, EXEC_LIST_UNORDERED, nullptr);
    HookState& h = hooks();
    if (!h.timer_callback) {
        // Nothing of an earlier run may come through: no codes, no mouse state, no dispatcher.
        e.key_head = e.key_tail = 0;
        e.mouse_state = MouseRegs{};
        e.busy = e.nesting = 0;
        h.timer_callback = &dispatch_tick;
        E_TimerHookOn();
    }
    if (!h.mouse_callback) {
        h.mouse_callback = &mouse_note;
        // Without a driver nothing is installed, and the callback does not say otherwise.
        if (!E_MouseHookOn()) h.mouse_callback = nullptr;
    }
}

void stop_event_machinery() {
    ExecTable* t = exec();
    HookState& h = hooks();
    EventState& e = g_events;
    if (h.timer_callback) {
        E_TimerHookOff();
        h.timer_callback = nullptr;
    }
    if (h.mouse_callback) {
        E_MouseHookOff();
        h.mouse_callback = nullptr;
    }
    if (h.keyboard_callback) {
        E_KeyboardHookOff();
        h.keyboard_callback = nullptr;
    }
    // The handlers belong to the program that closes; a later open starts without them.
    e.key_handler = nullptr;
    e.mouse_handler = nullptr;
    while (ExecNode* node = e.timers.head) {
        t->EXEC_LISTRemove(&e.timers, node);
        t->EXEC_MEMFree(node, kOwnerRuntime);
    }
}

} // namespace vantrel

using namespace vantrel;

extern "C" TimerNode* EXEC_TIMERAdd(void (*callback)(void), int16_t period) {
    TraceScope trace(kIdTimerAdd);
    if (!callback || period <= 0) return nullptr;
    ExecTable* t = exec();
    auto* timer = static_cast<TimerNode*>(t->EXEC_MEMFarMalloc(sizeof(TimerNode), kOwnerRuntime));
    if (!timer) return nullptr;
    t->EXEC_NODEInit(&timer->node);
    timer->counter = 0;
    timer->period = period;
    timer->callback = callback;
    InterruptsOff off;
    t->EXEC_LISTAddTail(&g_events.timers, &timer->node);
    return timer;
}

extern "C" void EXEC_TIMERRemove(TimerNode* timer) {
    TraceScope trace(kIdTimerRemove);
    if (!timer) return;
    ExecTable* t = exec();
    {
        InterruptsOff off;
        if (g_events.walk_next == timer) g_events.walk_next = next_timer(timer);
        t->EXEC_LISTRemove(&g_events.timers, &timer->node);
    }
    t->EXEC_MEMFree(timer, kOwnerRuntime);
}

extern "C" void EXEC_KEYSetHandler(void (*handler)(uint16_t scan_code)) {
    TraceScope trace(kIdKeySetHandler);
    HookState& h = hooks();
    InterruptsOff off;
    if (handler) {
        if (!h.keyboard_callback) {
            h.keyboard_callback = &keyboard_note;
            E_KeyboardHookOn();
        }
    } else if (h.keyboard_callback) {
        E_KeyboardHookOff();
        h.keyboard_callback = nullptr;
    }
    g_events.key_handler = handler;
}

extern "C" void EXEC_MOUSESetHandler(void (*handler)(MouseRegs* state)) {
    InterruptsOff off;
    g_events.mouse_handler = handler;
}

extern "C" uint16_t EXEC_MOUSESetRange(int16_t left, int16_t top, int16_t right, int16_t bottom,
                                       int16_t ratio_x, int16_t ratio_y) {
    // Without a driver the calls would go nowhere and report nothing: there is nothing to set.
    if (!hooks().mouse_callback) return 0;
    ExecTable* t = exec();
    const auto call = [t](uint32_t function, int16_t cx, int16_t dx) {
        ExecRealRegs regs{};
        regs.eax = function;
        regs.ecx = static_cast<uint16_t>(cx);
        regs.edx = static_cast<uint16_t>(dx);
        return t->EXEC_DPMIRealInt(kMouseInterrupt, &regs);
    };
    call(kMouseSetXRange, left, right);
    call(kMouseSetYRange, top, bottom);
    return call(kMouseSetRatio, ratio_x, ratio_y);
}
