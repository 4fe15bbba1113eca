// A packed disk file as vpack undisk and info read it: the name byte, then a block.
#include "blocks.hpp"
#include "fuzz_desk.hpp"

#include <cstring>

namespace {
constexpr uint32_t kLargestUnpacked = 1u << 20; // bigger is legal but only slows the search
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::library();
    vpack::Progress progress("FUZZ.DA_", 0);
    try {
        if (size == 0) return 0;
        const std::string name = vpack::installed_name("FUZZ.DA_", data[0]);
        if (name.find_first_of("/\\") != std::string::npos) fuzz::bug("a name byte made a path");
        const vpack::BlockHeader header = vpack::inspect_block(data + 1, size - 1, "FUZZ.DA_");
        if (header.length > kLargestUnpacked) return 0;
        const vpack::Bytes out = vpack::unpack_block(data + 1, size - 1, "FUZZ.DA_", progress);
        if (out.size() != header.length) fuzz::bug("the data is not as long as the header says");
    } catch (const vpack::Failure&) {
    }
    return 0;
}
