#include "desk_fixture.hpp"

#include <pcplat/dos.h>
#include <pcplat/win32.h>

namespace pcplat {
namespace {

using Win32 = testing::DeskTest;

class NoExtender : public testing::DeskTest {
    std::string profile_text() override { return "[extender]\npresent = false\n"; }
};

class FixedMemory : public testing::DeskTest {
    std::string profile_text() override {
        return "[memory]\navailable_kib = 16384\nswap_kib = 4096\n";
    }
};

TEST_F(Win32, TheExtenderMarkIsFoundInKernel32) {
    Win32Module k = win32_get_module_handle("KERNEL32.DLL");
    ASSERT_NE(k, nullptr);
    EXPECT_NE(win32_get_proc_address(k, "Borland32"), nullptr);
    EXPECT_EQ(win32_get_proc_address(k, "NoSuchEntry"), nullptr);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_PROC_NOT_FOUND});
    EXPECT_EQ(win32_get_module_handle("user32.dll"), nullptr);
}

TEST_F(NoExtender, AProfileCanTakeTheExtenderAway) {
    Win32Module k = win32_get_module_handle("kernel32.dll");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(win32_get_proc_address(k, "Borland32"), nullptr);
}

TEST_F(Win32, ModulesLoadByDosPathAndCountTheirLoads) {
    std::filesystem::create_directories(root_ / "desk" / "c" / "sll");
    std::filesystem::copy_file(TEST_MODULE_PATH, root_ / "desk" / "c" / "sll" / "probe.sll");
    Win32Module a = win32_load_library("c:\\SLL\\Probe.SLL");
    ASSERT_NE(a, nullptr) << win32_get_last_error();
    Win32Module b = win32_load_library("C:\\sll\\probe.sll");
    EXPECT_EQ(a, b);
    using Init = int (*)(int);
    auto init = reinterpret_cast<Init>(win32_get_proc_address(a, "_SLL_Initialise"));
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(1), 43);
    EXPECT_NE(win32_get_proc_address(a, "module_value"), nullptr);
    EXPECT_EQ(win32_get_proc_address(a, "missing"), nullptr);
    EXPECT_EQ(win32_free_library(a), 1);
    EXPECT_NE(win32_get_proc_address(b, "module_value"), nullptr); // one load still holds it
    EXPECT_EQ(win32_free_library(b), 1);
    EXPECT_EQ(win32_free_library(b), 0);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_INVALID_HANDLE});
}

TEST_F(Win32, MissingOrBrokenModulesFailWithTheirErrors) {
    EXPECT_EQ(win32_load_library("c:\\sll\\none.sll"), nullptr);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_MOD_NOT_FOUND});
    std::ofstream(root_ / "a" / "junk.sll") << "not a module";
    EXPECT_EQ(win32_load_library("junk.sll"), nullptr);
    EXPECT_EQ(win32_get_last_error(), uint32_t{WIN32_ERROR_BAD_EXE_FORMAT});
    EXPECT_EQ(win32_load_library("a:\\..\\..\\etc\\passwd"), nullptr);
}

TEST_F(FixedMemory, MemoryStatusComesFromTheProfile) {
    Win32MemoryStatus s{};
    win32_global_memory_status(&s);
    EXPECT_EQ(s.length, 32u);
    EXPECT_EQ(s.avail_phys, 16384u * 1024);
    EXPECT_EQ(s.avail_page_file, 4096u * 1024);
}

TEST_F(Win32, MemoryStatusFromTheHostFitsIn32Bits) {
    Win32MemoryStatus s{};
    win32_global_memory_status(&s);
    EXPECT_GT(s.avail_phys, 0u);
    EXPECT_LE(uint64_t{s.avail_phys} + s.avail_page_file, 0xFFFFFFFFull);
    EXPECT_LE(s.memory_load, 100u);
}

TEST_F(Win32, DosWriteGoesAfterBufferedOutput) {
    ::testing::internal::CaptureStdout();
    std::printf("buffered ");
    uint16_t written = 0;
    EXPECT_EQ(dos_write(1, "direct\r\n", 8, &written), 0);
    EXPECT_EQ(written, 8);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "buffered direct\r\n");
    EXPECT_EQ(dos_write(7, "x", 1, &written), DOS_ERROR_INVALID_HANDLE);
}

} // namespace
} // namespace pcplat
