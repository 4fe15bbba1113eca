// Buffered streams: whole-buffer transfers to and from the file, refusals, and writes that the
// disk does not take reported as such.
#include "core/library.hpp"
#include "exec_fixture.hpp"
#include "machine/file_faults.hpp"

#include <numeric>
#include <string>
#include <vector>

namespace vantrel::testing {
namespace {

// The sizes of the transfers the streams ask of the file layer, seen through the table.
std::vector<uint32_t> g_transfers;

uint32_t recording_write(const void* buffer, uint32_t size, uint32_t count, FILE* file) {
    g_transfers.push_back(size * count);
    return EXEC_FILEWrite(buffer, size, count, file);
}

uint32_t recording_read(void* buffer, uint32_t size, uint32_t count, FILE* file) {
    g_transfers.push_back(size * count);
    return EXEC_FILERead(buffer, size, count, file);
}

class StreamsTest : public ExecTest {
  protected:
    void SetUp() override {
        ExecTest::SetUp();
        g_transfers.clear();
        exec_->EXEC_FILEWrite = recording_write;
        exec_->EXEC_FILERead = recording_read;
    }
    void TearDown() override {
        if (file_) exec_->EXEC_FILEClose(file_);
        EXPECT_EQ(depth(), 0);
        ExecTest::TearDown();
    }
    FILE* open_file(const char* mode) {
        file_ = exec_->EXEC_FILEOpen("out.bin", mode);
        EXPECT_NE(file_, nullptr);
        return file_;
    }
    // Closes the file so that the host sees everything, and returns what it holds.
    std::string file_contents() {
        exec_->EXEC_FILEClose(file_);
        file_ = nullptr;
        return drive_a_file("out.bin");
    }
    FILE* file_ = nullptr;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    std::iota(s.begin(), s.end(), 'a');
    return s;
}

TEST_F(StreamsTest, AWriterMovesOnlyWholeBuffersUntilTheClose) {
    const struct {
        uint32_t size;
        std::vector<uint32_t> chunks;
        std::vector<uint32_t> transfers; // before the close
        std::vector<uint32_t> at_close;
    } cases[] = {
        {4, {3}, {}, {3}},       {4, {3, 1}, {4}, {}},
        {4, {10}, {4, 4}, {2}},  {4, {1, 2, 3, 4}, {4, 4}, {2}},
        {1, {3}, {1, 1, 1}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        g_transfers.clear();
        ExecStream* stream = exec_->EXEC_STREAMOpen(open_file("wb"), c.size, 0);
        ASSERT_NE(stream, nullptr);
        const uint32_t total = std::accumulate(c.chunks.begin(), c.chunks.end(), 0u);
        const std::string data = pattern(total);
        uint32_t at = 0;
        for (uint32_t n : c.chunks) {
            EXPECT_EQ(exec_->EXEC_STREAMWrite(data.data() + at, n, stream), n);
            at += n;
        }
        EXPECT_EQ(g_transfers, c.transfers);
        g_transfers.clear();
        EXPECT_EQ(exec_->EXEC_STREAMClose(stream), 1);
        EXPECT_EQ(g_transfers, c.at_close);
        EXPECT_EQ(file_contents(), data);
    }
}

TEST_F(StreamsTest, AReaderDeliversWhatTheFileHasThenNothing) {
    std::ofstream(root_ / "a" / "out.bin", std::ios::binary) << "abcdef";
    const struct {
        std::vector<uint32_t> reads;
        std::vector<std::string> expected;
    } cases[] = {
        {{10, 10}, {"abcdef", ""}},
        {{1, 4, 10}, {"a", "bcde", "f"}},
        {{4, 2, 1}, {"abcd", "ef", ""}},
    };
    for (const auto& c : cases) {
        g_transfers.clear();
        ExecStream* stream = exec_->EXEC_STREAMOpen(open_file("rb"), 4, 1);
        ASSERT_NE(stream, nullptr);
        for (size_t i = 0; i < c.reads.size(); ++i) {
            std::string got(c.reads[i], '\0');
            got.resize(exec_->EXEC_STREAMRead(got.data(), c.reads[i], stream));
            EXPECT_EQ(got, c.expected[i]) << "read " << i;
        }
        for (uint32_t t : g_transfers)
            EXPECT_EQ(t, 4u) << "the file is read a whole buffer at a time";
        EXPECT_EQ(exec_->EXEC_STREAMClose(stream), 1);
        exec_->EXEC_FILEClose(file_);
        file_ = nullptr;
    }
}

TEST_F(StreamsTest, WhatAStreamRefusesItLeavesAlone) {
    char byte = 'x';
    EXPECT_EQ(exec_->EXEC_STREAMOpen(nullptr, 4, 0), nullptr);
    FILE* file = open_file("wb+");
    EXPECT_EQ(exec_->EXEC_STREAMOpen(file, 0, 0), nullptr);
    // A size that would wrap when the stream's own fields are added to it.
    EXPECT_EQ(exec_->EXEC_STREAMOpen(file, 0xFFFFFFF8u, 0), nullptr);
    EXPECT_EQ(exec_->EXEC_STREAMOpen(file, 0x80000000u, 0), nullptr);
    EXPECT_EQ(exec_->EXEC_STREAMClose(nullptr), 0);

    uint32_t peak = 0, before = 0, after = 0;
    char name[16]{};
    exec_->EXEC_MEMGetUsage(1, &peak, &before, name);
    ExecStream* writer = exec_->EXEC_STREAMOpen(file, 4, 0);
    ExecStream* reader = exec_->EXEC_STREAMOpen(file, 4, 0x100); // any non-zero mode reads
    ASSERT_NE(writer, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(exec_->EXEC_STREAMRead(&byte, 1, writer), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMWrite(&byte, 1, reader), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMWrite(nullptr, 1, writer), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMWrite(&byte, 0, writer), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMWrite(&byte, 1, nullptr), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMRead(nullptr, 1, reader), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMRead(&byte, 0, reader), 0u);
    EXPECT_EQ(exec_->EXEC_STREAMRead(&byte, 1, nullptr), 0u);
    EXPECT_TRUE(g_transfers.empty());
    EXPECT_EQ(exec_->EXEC_STREAMClose(writer), 1);
    EXPECT_EQ(exec_->EXEC_STREAMClose(reader), 1);
    exec_->EXEC_MEMGetUsage(1, &peak, &after, name);
    EXPECT_EQ(after, before) << "both streams go back to the runtime core's memory";
    EXPECT_EQ(file_contents(), "");
}

TEST_F(StreamsTest, BytesTheDiskDoesNotTakeAreNotReportedAsWritten) {
    const struct {
        uint32_t disk_bytes, size;
        std::vector<uint32_t> chunks, taken;
        uint16_t closed;
    } cases[] = {
        {4, 4, {4}, {4}, 1},             // the disk fills exactly: the close writes nothing more
        {3, 8, {5}, {5}, 0},             // a short final write at the close
        {2, 4, {4}, {2}, 0},             // half of a full buffer reaches the disk
        {2, 4, {3, 3}, {3, 0}, 0},       // the lost bytes were buffered by the first call
        {5, 4, {3, 1, 4}, {3, 1, 1}, 0}, // one byte of the second buffer reaches the disk
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.disk_bytes << " bytes fit, size " << c.size);
        m().file_faults = pcplat::FileFaults::parse("full:OUT.BIN:" + std::to_string(c.disk_bytes));
        ExecStream* stream = exec_->EXEC_STREAMOpen(open_file("wb"), c.size, 0);
        ASSERT_NE(stream, nullptr);
        const std::string data = pattern(20);
        uint32_t at = 0;
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(exec_->EXEC_STREAMWrite(data.data() + at, c.chunks[i], stream), c.taken[i]);
            at += c.chunks[i];
        }
        EXPECT_EQ(exec_->EXEC_STREAMClose(stream), c.closed);
        const std::string on_disk = file_contents();
        EXPECT_EQ(on_disk, data.substr(0, on_disk.size()));
        EXPECT_LE(on_disk.size(), c.disk_bytes);
    }
}

} // namespace
} // namespace vantrel::testing
