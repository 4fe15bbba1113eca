// A fresh simulated desk per test: its own folder, drive A: and a manual clock.
#pragma once

#include "machine/machine.hpp"

#include <pcplat/dpmi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace pcplat::testing {

// Files on the host side of a drive, read and written whole and untranslated.
inline std::string read_host_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_host_file(const std::filesystem::path& path, const std::string& bytes = "") {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What a stream still holds, read one character at a time (as ReadCommandWord reads).
inline std::string read_stream_by_char(FILE* f) {
    std::string text;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f))
        text += static_cast<char>(c);
    return text;
}

class DeskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A parameterised test's name holds a '/', which would make a folder inside a folder.
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test.begin(), test.end(), '/', '-');
        root_ = std::filesystem::temp_directory_path() /
                ("desk-test-" + std::to_string(::getpid()) + "-" + test);
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "desk");
        std::filesystem::create_directories(root_ / "a");
        prepare();
        std::ofstream(root_ / "desk" / "desk.toml") << profile_text();
        start();
    }

    void TearDown() override {
        stop();
        std::filesystem::remove_all(root_);
    }

    // Runs before the desk starts, with the test's folders in place.
    virtual void prepare() {}
    // The profile of the desk under test; empty for the default desk.
    virtual std::string profile_text() { return ""; }

    // Powers the desk on (again): state files in the desk folder survive.
    void start() {
        MachineOptions options;
        options.desk_dir = root_ / "desk";
        options.start_dir = root_ / "a";
        options.manual_clock = true;
        machine_ = std::make_unique<Machine>(options);
        Machine::install(machine_.get());
    }

    void stop() {
        Machine::install(nullptr);
        machine_.reset();
    }

    Machine& m() { return *machine_; }

    // Lets n periods of timer channel 0 pass and reaches a safe point.
    void pass_ticks(uint64_t n) {
        m().manual_clock()->advance_ns(n * m().pit().period_ns(0) + 1);
        m().safe_point();
    }

    uint32_t bios_ticks() {
        auto ram = m().conventional();
        return ram[0x46C] | ram[0x46D] << 8 | ram[0x46E] << 16 | uint32_t{ram[0x46F]} << 24;
    }

    std::filesystem::path root_;
    std::unique_ptr<Machine> machine_;
};

// Counts bus cycles by width; plain memory otherwise.
// A fault as a handler saw it, unpacked: the frame is a packed record, and a test's reference
// to one of its fields would be misaligned.
struct RecordedFault {
    uint8_t exception = 0;
    uint32_t error_code = 0;
    uint16_t fault_selector = 0;
    uint32_t fault_offset = 0;
};
inline std::vector<RecordedFault> g_faults;
inline void record_fault(DpmiExceptionFrame* frame) {
    g_faults.push_back(
        {frame->exception, frame->error_code, frame->fault_selector, frame->fault_offset});
}

class CountingDevice : public BusDevice {
  public:
    explicit CountingDevice(uint32_t size) : bytes_(size, 0), memory_(bytes_) {}
    uint32_t read(uint32_t offset, Width width) override {
        ++reads[static_cast<int>(width)];
        return memory_.read(offset, width);
    }
    void write(uint32_t offset, uint32_t value, Width width) override {
        ++writes[static_cast<int>(width)];
        memory_.write(offset, value, width);
    }
    unsigned reads[5]{};
    unsigned writes[5]{};
    std::vector<uint8_t> bytes_;

  private:
    MemoryDevice memory_;
};

} // namespace pcplat::testing
