// The crash report as a client on the desk captures it from standard output, byte for byte.
#include "core/library.hpp"
#include "exec_fixture.hpp"

#include <pcplat/dos.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace vantrel {
namespace {

using pcplat::testing::g_faults;
using pcplat::testing::record_fault;

constexpr const char* kRestored = "text mode back\r\n";

std::string register_lines(const char* eax_to_edx, const char* esi_to_es) {
    return std::string(eax_to_edx) + "\r\n" + esi_to_es + "\r\n";
}

const std::string kModelRegisters =
    register_lines(" EAX : 0x00000000   EBX : 0x00000000   ECX : 0x00000000   EDX : 0x00000000  ",
                   " ESI : 0x00000000   EDI : 0x00000000    DS : 0x00000017    ES : 0x00000017  ");

std::string report(const std::string& first, const std::string& error, const std::string& regs,
                   std::initializer_list<const char*> stack) {
    std::string text = first + error + regs + "Function Stack is : \r\n";
    for (const char* entry : stack)
        text += std::string("   0x") + entry + ".\r\n";
    return text;
}

int g_restores = 0;
void restore_screen() {
    ++g_restores;
    dos_write(1, kRestored, static_cast<uint16_t>(std::strlen(kRestored)), nullptr);
}

// A lock slot that meets a bad selector: a fault of the desk's own hardware model, inside
// whatever service takes the lock.
void lock_through_bad_selector(uint16_t) {
    (void)far_read8(0, 0x20);
}

// The library opened over handlers of the test's own, so that a passed-on fault comes back here.
class CrashReport : public pcplat::testing::DeskTest {
  protected:
    void SetUp() override {
        DeskTest::SetUp();
        g_faults.clear();
        g_restores = 0;
        state().crash_report_written = 0; // one report per process, and tests share one
        for (uint8_t exception : {13, 14})
            ASSERT_EQ(dpmi_set_exception(exception, pcplat::exception_pointer(&record_fault)), 1);
        exec_ = EXEC_OpenExec(0);
        ASSERT_NE(exec_, nullptr);
    }
    void TearDown() override {
        EXEC_CloseExec();
        DeskTest::TearDown();
    }
    ExecTable* exec_ = nullptr;
};

TEST_F(CrashReport, AModelFaultIsReportedOnceAfterTheGraphicsRestoreAndPassedOn) {
    const uint32_t held_before = exec_->bytes_allocated;
    void* first = exec_->EXEC_MEMFarMalloc(32, 1);
    void* second = exec_->EXEC_MEMFarMalloc(32, 1);
    exec_->E_SetGFXActive(&restore_screen);
    const auto own_lock = exec_->EXEC_EVENTLock;
    exec_->EXEC_EVENTLock = &lock_through_bad_selector;
    ::testing::internal::CaptureStdout();
    exec_->EXEC_MEMFree(first, 1); // faults at depth 2, in EXEC_MEMFarFree before its first step
    exec_->EXEC_MEMFree(second, 1);
    const std::string out = ::testing::internal::GetCapturedStdout();
    exec_->EXEC_EVENTLock = own_lock;

    EXPECT_EQ(out,
              kRestored + report("Exception 0D at 0x10007040. \r\n", "Error Code : 0x00000000.\r\n",
                                 kModelRegisters, {"00000000", "10007030"}));
    EXPECT_EQ(g_restores, 1);
    ASSERT_EQ(g_faults.size(), 2u); // both passed on to the handler found at the open
    EXPECT_EQ(g_faults[1].exception, 13);
    EXPECT_EQ(*exec_->function_depth, 0);
    const uint32_t held_after = exec_->bytes_allocated;
    EXPECT_EQ(held_after, held_before); // the frees went on after the handlers returned
}

TEST_F(CrashReport, TheCloseGivesTheHandlersBack) {
    FarPtr handler{};
    ASSERT_EQ(dpmi_get_exception(14, &handler), 1);
    EXPECT_NE(handler.offset, pcplat::exception_pointer(&record_fault).offset);
    EXEC_CloseExec();
    for (uint8_t exception : {13, 14}) {
        ASSERT_EQ(dpmi_get_exception(exception, &handler), 1);
        EXPECT_EQ(handler.offset, pcplat::exception_pointer(&record_fault).offset);
    }
    exec_ = EXEC_OpenExec(0);
}

// Host faults cannot be resumed: each case runs in a child process that ends with the fault
// status, its standard output going to a file the test reads afterwards.
struct HostFaultCase {
    const char* name;
    void (*fault)(ExecTable*);
    const char* first_line;
    const char* error_line;
    std::initializer_list<const char*> stack;
    const char* passed_on; // what the platform's own handler says at the end
};

// A block whose link to the next older block a client has overwritten: the free follows it
// after the signature check.
void free_with_broken_link(ExecTable* t, MemBlockHeader* older, bool through_mem_free) {
    auto* block = static_cast<uint8_t*>(t->EXEC_MEMFarMalloc(64, 1));
    reinterpret_cast<MemBlockHeader*>(block - sizeof(MemBlockHeader))->older = older;
    if (through_mem_free)
        t->EXEC_MEMFree(block, 1);
    else
        t->EXEC_MEMFarFree(block, 1);
}

// Memory that exists but whose file has no bytes behind it: a bus error on access.
MemBlockHeader* memory_without_backing() {
    FILE* empty = std::tmpfile();
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(empty), 0);
    return static_cast<MemBlockHeader*>(page);
}

const HostFaultCase kHostFaults[] = {
    {"bus error after the signature check",
     [](ExecTable* t) { free_with_broken_link(t, memory_without_backing(), false); },
     "Exception 0D at 0x10007044. \r\n",
     "Error Code : 0x00000000.\r\n",
     {"00000000"},
     "processor exception 13"},
    {"wild pointer at depth 2",
     [](ExecTable* t) { free_with_broken_link(t, reinterpret_cast<MemBlockHeader*>(16), true); },
     // The page-fault error code: a write from user code to a page that is not there.
     "Exception 0E at 0x10007044. \r\n",
     "Error Code : 0x00000006.\r\n",
     {"00000000", "10007030"},
     "processor exception 14"},
    {"invalid instruction outside any service",
     [](ExecTable*) { std::raise(SIGILL); },
     "Exception 0D at 0x00000000. \r\n",
     "Error Code : 0x00000000.\r\n",
     {},
     "processor exception 13"},
};

// The registers of a host fault are the faulting code's: their values vary, their layout not.
std::string mask_register_values(std::string text) {
    constexpr std::string_view kBefore = " : 0x";
    constexpr size_t kDigits = 8;
    for (size_t at = text.find(kBefore); at != std::string::npos; at = text.find(kBefore, at + 1)) {
        const size_t value = at + kBefore.size();
        if (text.compare(value + kDigits, 2, "  ") == 0) text.replace(value, kDigits, kDigits, 'X');
    }
    return text;
}

TEST_F(CrashReport, HostFaultsInsideAndOutsideServicesAreReportedAndEndTheProgram) {
    const std::string masked_registers = register_lines(
        " EAX : 0xXXXXXXXX   EBX : 0xXXXXXXXX   ECX : 0xXXXXXXXX   EDX : 0xXXXXXXXX  ",
        " ESI : 0xXXXXXXXX   EDI : 0xXXXXXXXX    DS : 0xXXXXXXXX    ES : 0xXXXXXXXX  ");
    const auto out_file = root_ / "stdout";
    for (const HostFaultCase& c : kHostFaults) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(out, 1);
                exec_->E_SetGFXActive(&restore_screen);
                c.fault(exec_);
            },
            ::testing::ExitedWithCode(pcplat::kExitFault), c.passed_on);
        EXPECT_EQ(mask_register_values(pcplat::testing::read_host_file(out_file)),
                  kRestored + report(c.first_line, c.error_line, masked_registers, c.stack));
    }
}

} // namespace
} // namespace vantrel
