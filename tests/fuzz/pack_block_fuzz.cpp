// A packed block of any method, unpacked through the table into exactly the room its header
// asks for: the service may refuse it, but must never read or write outside the two buffers.
#include "fuzz_desk.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {
// Bigger blocks are legal but only slow the search down.
constexpr uint32_t kLargestUnpacked = 1u << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ExecTable& exec = fuzz::library();
    if (size > UINT32_MAX) return 0;
    uint32_t length = 0;
    if (size >= 5) std::memcpy(&length, data + 1, 4);
    if (length > kLargestUnpacked) return 0;
    std::unique_ptr<uint8_t[]> out(new uint8_t[length ? length : 1]);
    const uint16_t ok = exec.EXEC_PACKDecompress(data, out.get(), static_cast<uint32_t>(size));
    if (ok && size >= 5 && data[0] == 0 && std::memcmp(out.get(), data + 5, length) != 0)
        fuzz::bug("a stored block unpacked to other bytes");
    if (*exec.function_depth != 0) fuzz::bug("the function stack is not back at depth 0");
    if (fuzz::in_use(2) != 0) fuzz::bug("compression memory was not given back");
    return 0;
}
