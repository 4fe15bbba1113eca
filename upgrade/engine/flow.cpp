// JUMP, JUMPBACK, REQJUMP and REQJUMPBACK: the commands that send the run to a label.
#include "engine/program.hpp"

#include <pcplat/desk_card.h>
#include <pcplat/win32.h>

#include <cstdio>

namespace tolvanex {

namespace {

// Panel key bytes in card window 0: nonzero while the key is down.
constexpr uint32_t kPanelYes = DESK_PANEL_YES;
constexpr uint32_t kPanelNo = DESK_PANEL_NO;

uint16_t jump(FILE* script, bool from_start) {
    char label[kArgumentBuffer];
    if (!ReadArgumentLine(script, label)) return 0;
    RequestLabelSearch(script, label, from_start);
    return 1;
}

// The operator's answer from the PC keyboard or the panel keys, waited for without pause. A
// panel key already down when the question starts counts only after it was let go.
char wait_for_answer() {
    std::fflush(stdout); // the question the script printed is seen before the wait
    const uint16_t window = program().card_window[0];
    bool yes_held = window && exec()->EXEC_FARReadByte(window, kPanelYes) != 0;
    bool no_held = window && exec()->EXEC_FARReadByte(window, kPanelNo) != 0;
    char answer = ' ';
    while (answer != 'y' && answer != 'Y' && answer != 'n' && answer != 'N') {
        if (console_key_waiting()) {
            answer = static_cast<char>(console_read_key());
            continue;
        }
        if (!window) continue;
        if (exec()->EXEC_FARReadByte(window, kPanelYes) == 0)
            yes_held = false;
        else if (!yes_held)
            answer = 'y';
        if (exec()->EXEC_FARReadByte(window, kPanelNo) == 0)
            no_held = false;
        else if (!no_held)
            answer = 'n';
    }
    return answer;
}

uint16_t request_jump(FILE* script, bool from_start) {
    char label[kArgumentBuffer];
    if (!ReadArgumentLine(script, label)) return 0;
    exec()->EXEC_STRCopy(program().jump_target, label, kArgumentBuffer);
    const char answer = wait_for_answer();
    if (answer == 'y' || answer == 'Y') RequestLabelSearch(script, label, from_start);
    return 1;
}

} // namespace

uint16_t CmdJump(FILE* script) {
    return jump(script, false);
}
uint16_t CmdJumpBack(FILE* script) {
    return jump(script, true);
}
uint16_t CmdReqJump(FILE* script) {
    return request_jump(script, false);
}
uint16_t CmdReqJumpBack(FILE* script) {
    return request_jump(script, true);
}

} // namespace tolvanex
