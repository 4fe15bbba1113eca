// A .Z file as vpack unz reads it: refused in one Failure, or decoded, never anything else.
#include "fuzz_desk.hpp"
#include "zfile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::library(); // vpack's code runs with the library open, as in the tool
    vpack::Progress progress("fuzz.Z", 0);
    try {
        vpack::unpack_z(data, size, "fuzz.Z", nullptr, progress);
    } catch (const vpack::Failure&) {
    }
    return 0;
}
