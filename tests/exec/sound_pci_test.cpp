// The speaker, PCI and real-mode call services on the simulated desk.
#include "core/library.hpp"
#include "exec_fixture.hpp"

namespace vantrel {
namespace {

using testing::ExecTest;

TEST_F(ExecTest, SoundStartsChannel2AndTheSpeakerAndANewToneFollowsWithoutSilence) {
    exec_->E_Sound(1193);
    EXPECT_TRUE(m().speaker().sounding());
    EXPECT_NEAR(m().speaker().tone_hz(), 1000.15, 0.01);
    EXPECT_EQ(m().pit().mode(2), 3); // square wave
    m().manual_clock()->advance_ns(100'000'000);
    exec_->E_Sound(2386);
    EXPECT_NEAR(m().speaker().tone_hz(), 500.08, 0.01);
    // The first tone ended by the new count, not by the speaker going quiet.
    EXPECT_EQ(m().speaker().tones_logged(), 1u);
    exec_->E_NoSound();
    EXPECT_FALSE(m().speaker().sounding());
    EXPECT_EQ(m().speaker().tones_logged(), 2u);
    EXPECT_EQ(m().pit().divisor(2), 2386u); // channel 2 stays programmed
}

TEST_F(ExecTest, NoSoundClearsGateAndDataAndNothingElse) {
    const struct {
        bool sound_first;
        uint8_t other_bits;
    } cases[] = {{false, 0x00}, {false, 0x0C}, {true, 0x04}, {true, 0x08}};
    for (const auto& c : cases) {
        io_outb(0x61, c.other_bits);
        if (c.sound_first) exec_->E_Sound(1193);
        const uint32_t divisor = m().pit().divisor(2);
        const unsigned tones = m().speaker().tones_logged();
        exec_->E_NoSound();
        EXPECT_EQ(m().speaker().port_value(), c.other_bits);
        EXPECT_EQ(m().pit().divisor(2), divisor);
        EXPECT_EQ(m().speaker().tones_logged(), tones + (c.sound_first ? 1 : 0));
    }
    EXPECT_EQ(m().pit().divisor(2), 1193u);
}

TEST_F(ExecTest, TheDefaultHostBridgeIsInTheTable) {
    EXPECT_EQ(uint32_t{exec_->base_address}, 0x71908086u);
}

class OtherBridge : public ExecTest {
    std::string profile_text() override {
        return "[pci]\nvendor = 0x10B9\ndevice = 0x1541\nbar0 = 0xE4000008\n";
    }
};

TEST_F(OtherBridge, BaseAddressReadsTheHostBridgesConfigurationSpace) {
    EXPECT_EQ(uint32_t{exec_->base_address}, 0x154110B9u);
    const struct {
        uint32_t address, offset, value;
    } reads[] = {
        {0x80000000, 0x00, 0x154110B9}, {0x80000000, 0x10, 0xE4000008},
        {0x80000010, 0x00, 0xE4000008}, // the sum is what counts
        {0x80000800, 0x00, 0xFFFFFFFF}, // device 1
        {0x80000800, 0x10, 0xFFFFFFFF},
    };
    for (const auto& r : reads) {
        EXPECT_EQ(E_GetBaseAddress0(r.address, r.offset), r.value) << std::hex << r.address;
        EXPECT_EQ(io_inl(0xCF8), r.address + r.offset); // left as written
    }
}

TEST_F(ExecTest, RealCallRunsTheProcedureAtTheBlocksAddress) {
    EXPECT_EQ(exec_->EXEC_DPMIRealCall(nullptr), 0);
    m().set_real_procedure(0x1234, 0x0010, [](RealRegs& r) {
        r.eax = r.ebx + 1;
        r.flags |= 1; // the procedure's own carry is the caller's to read
    });
    ExecRealRegs regs{};
    regs.cs = 0x1234;
    regs.ip = 0x0010;
    regs.ebx = 41;
    EXPECT_EQ(exec_->EXEC_DPMIRealCall(&regs), 1);
    EXPECT_EQ(regs.eax, 42u);
    EXPECT_EQ(regs.flags & 1, 1);
    ExecRealRegs elsewhere{};
    elsewhere.cs = 0x1234;
    elsewhere.ip = 0x0020;
    EXPECT_EQ(exec_->EXEC_DPMIRealCall(&elsewhere), 0); // the host refuses
}

} // namespace
} // namespace vantrel
