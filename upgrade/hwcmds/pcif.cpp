// UPLOADPCIF: hands a new image to the PC interface card through the mailbox in its window, one
// block of 256 bytes at a time, waiting for the card to take each.
#include "engine/program.hpp"
#include "filecmds/filecmds.hpp"

#include <pcplat/desk_card.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tolvanex {

namespace {

constexpr uint16_t kImageOwner = 10;
constexpr uint8_t kImageFormat = 5;

// The mailbox.
constexpr uint32_t kCommand = DESK_CARD_COMMAND;
constexpr uint32_t kBlockError = DESK_CARD_ERROR;
constexpr uint32_t kCardStatus = DESK_CARD_STATUS;
constexpr uint32_t kParams = DESK_CARD_PARAMS; // P3, 0, P5, P6, P7
constexpr uint32_t kData = DESK_CARD_DATA;
constexpr uint32_t kTypeLow = DESK_CARD_TYPE;
constexpr uint32_t kTypeHigh = DESK_CARD_TYPE + 1;
constexpr uint16_t kAcceptedTypes[] = {0xC004, 0xC005, 0xC107};

constexpr uint8_t kCommandBlock = DESK_CARD_CMD_BLOCK;
constexpr uint8_t kCommandEnd = DESK_CARD_CMD_END;
constexpr uint8_t kCommandDone = DESK_CARD_CMD_DONE;
constexpr uint8_t kCommandWake = 1;
constexpr uint8_t kEndP5 = 0x50;

constexpr int kAttempts = 5;
constexpr uint32_t kPollLimit = 1u << 24;

// A reader over the image in memory: no byte is read past its end.
class ImageReader {
  public:
    ImageReader(const uint8_t* data, uint32_t size) : at_(data), end_(data + size) {}
    bool byte(uint8_t& out) {
        if (at_ == end_) return false;
        out = *at_++;
        return true;
    }
    bool bytes(uint8_t* out, uint32_t n) {
        if (static_cast<uint32_t>(end_ - at_) < n) return false;
        std::memcpy(out, at_, n);
        at_ += n;
        return true;
    }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
};

uint16_t window_selector() {
    const uint16_t window = program().pcif.window;
    return window < kCardWindows ? program().card_window[window] : 0;
}

// A window that could not be mapped has no card behind it as far as the program can tell: it is
// refused like a missing card, and nothing is read or written through selector 0.
bool card_accepted(uint16_t card) {
    if (!card) return false;
    const uint16_t type = static_cast<uint16_t>(exec()->EXEC_FARReadByte(card, kTypeHigh) << 8 |
                                                exec()->EXEC_FARReadByte(card, kTypeLow));
    for (const uint16_t accepted : kAcceptedTypes)
        if (type == accepted) return true;
    return false;
}

bool send_image(ImageReader in) {
    PcifState& s = program().pcif;
    bool ok = true;
    uint8_t format = 0, reserved = 0;
    if (!in.byte(format)) {
        s.status = kPcifImageShort;
        ok = false;
    } else if (format < kImageFormat) {
        s.status = kPcifFormatOld;
        ok = false;
    } else if (format > kImageFormat) {
        s.status = kPcifFormatNew;
        ok = false;
    }
    if (format >= kImageFormat && !in.byte(reserved)) {
        s.status = kPcifImageShort;
        ok = false;
    }
    // The card is checked even for an image already refused; its code is the one that stands.
    const uint16_t card = window_selector();
    if (!card_accepted(card)) {
        s.status = kPcifNoCard;
        ok = false;
    }
    if (!ok) return false;

    if (exec()->EXEC_FARReadByte(card, kCommand) != 0)
        exec()->EXEC_FARWriteByte(card, kCommand, kCommandWake);
    // The image ends inside its header or a record.
    const auto cut_short = [&s] {
        s.status = kPcifImageShort;
        return false;
    };
    uint8_t text_length = 0;
    if (!in.byte(text_length) || !in.bytes(s.block, text_length) || !in.byte(s.p3))
        return cut_short();
    s.command = kCommandBlock;
    for (uint8_t length = 0; in.byte(length);) {
        uint8_t a = 0, b = 0;
        if (!in.byte(a) || !in.byte(b)) return cut_short();
        const uint32_t n = length ? length : sizeof s.block;
        s.p6 = length;
        s.p7 = a;
        if (b) {
            s.p5 = b;
            if (!in.bytes(s.block, n)) return cut_short();
        } else {
            if (!in.byte(s.p5)) return cut_short();
            std::memset(s.block, 0, n);
        }
        if (!PcifSendBlock()) return false;
    }
    s.command = kCommandEnd;
    s.p3 = 0;
    s.p5 = kEndP5;
    s.p6 = 0;
    s.p7 = 0;
    return PcifSendBlock() != 0;
}

bool idle(uint8_t command) {
    return command == 0;
}
bool finished(uint8_t command) {
    return command == 0 || command == kCommandDone;
}

// Reads the card's command byte until it satisfies settled or the poll count reaches the limit;
// the count goes on from where it stands. The last value read.
uint8_t poll_command(uint16_t card, uint32_t& polls, bool (*settled)(uint8_t)) {
    uint8_t command = exec()->EXEC_FARReadByte(card, kCommand);
    while (!settled(command) && polls < kPollLimit) {
        ++polls;
        command = exec()->EXEC_FARReadByte(card, kCommand);
    }
    return command;
}

} // namespace

uint16_t PcifSendBlock() {
    PcifState& s = program().pcif;
    const uint16_t card = window_selector();
    uint32_t polls = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // The count carries on from the last attempt's wait: after a completion timeout the
        // idle wait looks once.
        if (!idle(poll_command(card, polls, idle))) {
            s.status = kPcifCardStuck;
            continue;
        }
        const uint8_t params[5] = {s.p3, 0, s.p5, s.p6, s.p7};
        for (uint32_t i = 0; i < sizeof params; ++i)
            exec()->EXEC_FARWriteByte(card, kParams + i, params[i]);
        exec()->EXEC_FARCopyTo(card, s.block, sizeof s.block, kData);
        static_cast<void>(exec()->EXEC_FARReadByte(card, kCardStatus));
        exec()->EXEC_FARWriteByte(card, kCommand, s.command);

        polls = 0;
        if (!finished(poll_command(card, polls, finished))) {
            s.status = kPcifCardStuck;
            continue;
        }
        if (exec()->EXEC_FARReadByte(card, kBlockError) != 0) {
            s.status = kPcifBlockRejected;
            continue;
        }
        return 1;
    }
    return 0;
}

uint16_t PcifUpload(const char* path, uint16_t window) {
    PcifState& s = program().pcif;
    s.window = window;
    bool ok = true;
    {
        OpenFile file(exec()->EXEC_FILEOpen(path, "rb"));
        if (!file) {
            s.status = kPcifCannotOpen;
            ok = false;
        } else {
            const uint32_t size = exec()->EXEC_FILELength(file.get());
            // An empty file is an image that ends inside its header, not a failed read: it
            // gets a byte of buffer so that the header check can refuse it.
            FileBuffer image(size ? size : 1, kImageOwner);
            if (!image || (size && exec()->EXEC_FILERead(image.get(), size, 1, file.get()) != 1))
                ok = false;
            else
                ok = send_image(ImageReader(image.get(), size));
        }
    }
    if (ok)
        s.status = kPcifDone;
    else if (s.status == kPcifDone)
        s.status = kPcifFailed;
    return s.status;
}

uint16_t CmdUploadPcif(FILE* script) {
    char path[kArgumentBuffer];
    if (!ReadArgumentLine(script, path)) return 0;
    // The outcome is the card's business: the run goes on either way.
    static_cast<void>(PcifUpload(path, 0));
    return 1;
}

} // namespace tolvanex
