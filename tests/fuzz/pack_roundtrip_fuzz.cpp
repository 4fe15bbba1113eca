// Pack, then unpack: every method must give the input back, byte for byte. The first byte
// chooses the method, the rest is the data.
#include "fuzz_desk.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ExecTable& exec = fuzz::library();
    if (size < 2 || size > (1u << 22)) return 0;
    const uint8_t method = data[0] % 4;
    const uint8_t* input = data + 1;
    const uint32_t length = static_cast<uint32_t>(size - 1);

    // The service promises to write no more than length + 5 bytes.
    std::unique_ptr<uint8_t[]> block(new uint8_t[length + 5]);
    const uint32_t packed = exec.EXEC_PACKCompress(method, input, block.get(), length);
    if (packed == 0 || packed > length + 5) fuzz::bug("packing gave no block or too big a one");
    if (block[0] != method && block[0] != 0) fuzz::bug("the block names another method");
    uint32_t stated = 0;
    std::memcpy(&stated, block.get() + 1, 4);
    if (stated != length) fuzz::bug("the block states another length");

    std::unique_ptr<uint8_t[]> out(new uint8_t[length]);
    if (!exec.EXEC_PACKDecompress(block.get(), out.get(), packed))
        fuzz::bug("a block the library made does not unpack");
    if (std::memcmp(out.get(), input, length) != 0) fuzz::bug("the round trip changed the data");
    if (fuzz::in_use(2) != 0) fuzz::bug("compression memory was not given back");
    return 0;
}
