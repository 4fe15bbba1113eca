// The library opened on a fresh simulated desk with a manual clock; drive A: (where "debug.txt"
// goes) is the test's own folder.
#pragma once

#include "../platform/desk_fixture.hpp"

#include <vantrel/exec.h>

#include <fstream>
#include <iterator>
#include <string>

namespace vantrel::testing {

class ExecTest : public pcplat::testing::DeskTest {
  protected:
    void SetUp() override {
        DeskTest::SetUp();
        exec_ = EXEC_OpenExec(open_mode());
        ASSERT_NE(exec_, nullptr);
    }
    void TearDown() override {
        EXEC_CloseExec();
        DeskTest::TearDown();
    }
    virtual uint16_t open_mode() { return 0; }

    // The contents of a file on drive A:, empty when it does not exist.
    std::string drive_a_file(const std::string& name) {
        std::ifstream in(root_ / "a" / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool drive_a_has(const std::string& name) {
        return std::filesystem::exists(root_ / "a" / name);
    }
    int32_t depth() { return *exec_->function_depth; }

    ExecTable* exec_ = nullptr;
};

} // namespace vantrel::testing
