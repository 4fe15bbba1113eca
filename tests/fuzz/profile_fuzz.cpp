// A desk profile: read, or refused with one ProfileError; no other way out.
#include "desk/profile.hpp"
#include "fuzz_desk.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const pcplat::Profile profile = pcplat::parse_profile(text, "desk.toml");
        if (profile.nvr_size > 0x20000) fuzz::bug("an NVR bigger than 128 KiB was taken");
    } catch (const pcplat::ProfileError&) {
    }
    return 0;
}
