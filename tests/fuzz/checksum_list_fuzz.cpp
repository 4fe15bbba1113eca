// "checksum.dat" as CHECKSUMALLFILES and COPY's lookup read it, on a small upgrade disk.
#include "filecmds/filecmds.hpp"
#include "upgrade_disk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::UpgradeDisk& disk = fuzz::upgrade_disk();
    disk.lay_out();
    fuzz::write_file(disk.root() / "checksum.dat",
                     std::string(reinterpret_cast<const char*>(data), size));
    const uint16_t passed = tolvanex::CheckAllFiles();
    const uint16_t code = tolvanex::program().error_register;
    if (!fuzz::known_code(code) || (passed && code != 0))
        fuzz::bug("CHECKSUMALLFILES left a code it cannot leave");
    uint8_t sum = 0;
    tolvanex::LookupChecksum("DATA\\B.TXT", sum);
    if (*tolvanex::exec()->function_depth != 0) fuzz::bug("the function stack is not at depth 0");
    if (fuzz::in_use(0) != 0) fuzz::bug("file buffers were not given back");
    return 0;
}
