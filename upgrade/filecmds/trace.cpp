// The program's entries on the library's function stack.
#include "filecmds/filecmds.hpp"

namespace tolvanex {

namespace {

constexpr int32_t kFunctionStackEntries = 501;
constexpr uint32_t kStepBits = 0xF;

} // namespace

FunctionTrace::FunctionTrace(uint32_t id) {
    ExecTable* table = exec();
    const int32_t depth = ++*table->function_depth;
    // Entry 0 is never written, and nesting beyond the stack is only counted.
    if (depth > 0 && depth < kFunctionStackEntries) {
        entry_ = &table->function_stack[depth];
        *entry_ = id;
    }
}

FunctionTrace::~FunctionTrace() {
    --*exec()->function_depth;
}

void FunctionTrace::step(uint32_t n) {
    if (entry_) *entry_ = (*entry_ & ~kStepBits) | (n & kStepBits);
}

} // namespace tolvanex
