// Arbitrary bytes opened as a resource file: every entry enumerated, read, found again and
// unpacked, then an index built and a deletion made. Nothing may be read past the file, no
// memory may stay booked to resource files, and the function stack must come back to 0.
#include "fuzz_desk.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLargestUnpacked = 1u << 20; // bigger is legal but only slows the search
constexpr uint16_t kOwner = 3;

std::filesystem::path drive_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "rscfuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) fuzz::bug("no folder for drive A:");
    return pattern;
}

// Enumerates with "ANY " and checks what each entry reports; at most `limit` steps, because
// a damaged file may hold the same pair twice, which makes the enumeration circle.
void walk_entries(ExecTable& t, RSCFile* rsc, size_t file_size, uint32_t limit) {
    char type[4];
    uint16_t id = 0;
    std::memcpy(type, "ANY ", 4);
    uint32_t size = t.EXEC_RSCFindFirst(rsc, type, &id);
    for (uint32_t step = 0; step < limit && size != 0; ++step) {
        if (size > file_size) fuzz::bug("an entry larger than the file was reported");
        std::vector<uint8_t> data(size);
        if (t.EXEC_RSCRead(rsc, size, data.data()) != size)
            fuzz::bug("a reported entry could not be read whole");
        const char found[4] = {type[0], type[1], type[2], type[3]};
        const uint16_t found_id = id;
        if (t.EXEC_RSCFind(rsc, found, found_id) > file_size) fuzz::bug("find read past the file");
        const uint32_t unpacked = t.EXEC_RSCPackedSize("FUZZ.RSC", found, found_id);
        if (unpacked != 0 && unpacked <= kLargestUnpacked) {
            std::vector<uint8_t> out(unpacked);
            t.EXEC_RSCLoadPacked(out.data(), unpacked, "FUZZ.RSC", found, found_id);
        }
        std::memcpy(type, "ANY ", 4);
        size = t.EXEC_RSCFindNext(rsc, type, &id);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::filesystem::path folder = drive_folder();
    ExecTable& t = fuzz::library(folder);
    {
        std::ofstream out(folder / "FUZZ.RSC", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const uint32_t before = fuzz::in_use(kOwner);
    if (RSCFile* rsc = t.EXEC_RSCOpen("FUZZ.RSC")) {
        // The header's count bounds the walks, and so does what the file can hold (an entry
        // is at least its 10-byte header): a damaged file that names one entry twice makes
        // the enumeration circle, and 65535 rounds of it only slow the search.
        const uint32_t count =
            size >= 14 ? std::min<uint32_t>(data[12] | data[13] << 8, size / 10) : 0;
        walk_entries(t, rsc, size, count + 1);
        if (t.EXEC_RSCBuildIndex(rsc)) walk_entries(t, rsc, size + 10 * count, count + 1);
        char type[4];
        uint16_t id = 0;
        std::memcpy(type, "ANY ", 4);
        if (t.EXEC_RSCFindFirst(rsc, type, &id) != 0 || id != 0) t.EXEC_RSCDelete(rsc, type, id);
        t.EXEC_RSCAdd(rsc, "FUZZ", 1, 3);
        t.EXEC_RSCClose(rsc);
    }
    if (fuzz::in_use(kOwner) != before) fuzz::bug("memory stayed booked to resource files");
    if (*t.function_depth != 0) fuzz::bug("the function stack is not at depth 0");
    return 0;
}
