// UPLOADPCIF on the fuzz desk's card (which takes every block) against the disk tools' reading
// of the same bytes: the program takes exactly the images mkdisk calls whole, hands the card one
// block per record and the end block, and gives back its buffer whatever the bytes.
#include "card_image.hpp"
#include "desk/desk.hpp"
#include "upgrade_disk.hpp"

#include <filesystem>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::UpgradeDisk& disk = fuzz::upgrade_disk();
    disk.lay_out();
    tolvanex::program().pcif = {};
    fuzz::write_file(disk.root() / "CARD.IMG",
                     std::string(reinterpret_cast<const char*>(data), size));
    const std::filesystem::path log =
        pcplat::Machine::installed()->desk_dir() / pcplat::desk::kCardLogFile;
    std::error_code error;
    std::filesystem::resize_file(log, 0, error); // the card appends; the last input's blocks go

    const uint16_t status = tolvanex::PcifUpload("CARD.IMG", 0);
    const mkdisk::CardParse parse = mkdisk::parse_card_image(data, size);
    const bool taken = !parse.problem;
    if (taken != (status == 0)) fuzz::bug("the program and mkdisk disagree on whether it is whole");
    if (!taken) {
        // A format of 5 or more is followed by the reserved byte: its absence is set last.
        uint16_t expected = 130;
        if (size > 0 && data[0] < 5) expected = 140;
        if (size > 1 && data[0] > 5) expected = 150;
        if (status != expected) fuzz::bug("the upload failed with another status than the cause");
    } else {
        const uintmax_t bytes = std::filesystem::file_size(log, error);
        if (error || bytes != (parse.image.records.size() + 1) * pcplat::desk::kCardLogRecord)
            fuzz::bug("the card did not get one block per record and the end block");
    }
    if (*tolvanex::exec()->function_depth != 0) fuzz::bug("the function stack is not at depth 0");
    if (fuzz::in_use(10) != 0) fuzz::bug("the image buffer was not given back");
    return 0;
}
