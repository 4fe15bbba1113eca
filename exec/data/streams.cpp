// Buffered streams: a private buffer in front of a file the caller opened, so that many small
// reads or writes reach the file as few whole-buffer transfers. A stream is a reader or a writer
// for life; it never owns or closes its file.
#include "core/library.hpp"

#include <cstring>
#include <limits>

// Opaque to clients; the buffer follows the fields in the same allocation.
struct ExecStream {
    FILE* file;
    int32_t size;     // > 0
    int32_t fill;     // reader: valid bytes in the buffer
    int32_t position; // reader: next byte to hand out; writer: next free byte
    uint16_t mode;    // 0 writer, anything else reader
    // Writer: some buffered bytes never reached the file, so the close cannot report success.
    uint16_t lost;
};

namespace vantrel {

namespace {

constexpr uint16_t kOwner = 1;
constexpr uint16_t kWriter = 0;
// The size field is signed, and the allocation adds the fields: larger buffers would wrap.
constexpr uint32_t kLargestBuffer = std::numeric_limits<int32_t>::max() - sizeof(ExecStream);

uint8_t* buffer_of(ExecStream* stream) {
    return reinterpret_cast<uint8_t*>(stream + 1);
}

bool is_writer(const ExecStream* stream) {
    return stream->mode == kWriter;
}

// Writes the first count buffered bytes as one transfer; the bytes the file took.
uint32_t write_buffer(ExecStream* stream, uint32_t count) {
    return exec()->EXEC_FILEWrite(buffer_of(stream), 1, count, stream->file);
}

} // namespace

} // namespace vantrel

using vantrel::buffer_of;
using vantrel::is_writer;

extern "C" {

ExecStream* EXEC_STREAMOpen(FILE* file, uint32_t size, uint16_t mode) {
    if (file == nullptr || size == 0 || size > vantrel::kLargestBuffer) return nullptr;
    void* block = vantrel::exec()->EXEC_MEMFarMalloc(sizeof(ExecStream) + size, vantrel::kOwner);
    if (block == nullptr) return nullptr;
    auto* stream = static_cast<ExecStream*>(block);
    stream->file = file;
    stream->size = static_cast<int32_t>(size);
    stream->fill = 0;
    stream->position = 0;
    stream->mode = mode;
    stream->lost = 0;
    return stream;
}

uint16_t EXEC_STREAMClose(ExecStream* stream) {
    if (stream == nullptr) return 0;
    uint16_t result = 1;
    if (is_writer(stream)) {
        const auto pending = static_cast<uint32_t>(stream->position);
        if (pending > 0 && vantrel::write_buffer(stream, pending) < pending) result = 0;
        stream->position = 0;
        if (stream->lost) result = 0;
    }
    vantrel::exec()->EXEC_MEMFarFree(stream, vantrel::kOwner);
    return result;
}

uint32_t EXEC_STREAMRead(void* destination, uint32_t count, ExecStream* stream) {
    if (destination == nullptr || stream == nullptr || count == 0 || is_writer(stream)) return 0;
    auto* to = static_cast<uint8_t*>(destination);
    const auto size = static_cast<uint32_t>(stream->size);
    uint32_t delivered = 0;
    for (;;) {
        const auto position = static_cast<uint32_t>(stream->position);
        const uint32_t buffered = static_cast<uint32_t>(stream->fill) - position;
        const uint32_t wanted = count - delivered;
        const uint32_t part = wanted <= buffered ? wanted : buffered;
        std::memcpy(to + delivered, buffer_of(stream) + position, part);
        delivered += part;
        stream->position = static_cast<int32_t>(position + part);
        if (delivered == count) return delivered;
        // The buffer is spent: one whole-buffer read refills it. Nothing read (end of file or an
        // error) ends this call; the next one tries again.
        stream->position = 0;
        stream->fill = 0;
        const uint32_t got =
            vantrel::exec()->EXEC_FILERead(buffer_of(stream), 1, size, stream->file);
        if (got == 0) return delivered;
        stream->fill = static_cast<int32_t>(got < size ? got : size);
    }
}

uint32_t EXEC_STREAMWrite(const void* source, uint32_t count, ExecStream* stream) {
    if (source == nullptr || stream == nullptr || count == 0 || !is_writer(stream)) return 0;
    const auto* from = static_cast<const uint8_t*>(source);
    const auto size = static_cast<uint32_t>(stream->size);
    uint32_t taken = 0;
    for (;;) {
        const auto position = static_cast<uint32_t>(stream->position);
        const uint32_t room = size - position;
        const uint32_t remaining = count - taken;
        // A full buffer goes out at once, so between calls there is always room for a byte.
        if (remaining < room) {
            std::memcpy(buffer_of(stream) + position, from + taken, remaining);
            stream->position = static_cast<int32_t>(position + remaining);
            return count;
        }
        std::memcpy(buffer_of(stream) + position, from + taken, room);
        const uint32_t written = vantrel::write_buffer(stream, size);
        stream->position = 0;
        if (written < size) {
            // The bytes past what the file took are gone. This call's share of the buffer is its
            // tail, from position on: only the part of it the file took counts as taken, and the
            // close reports the loss of anything buffered by earlier calls.
            stream->lost = 1;
            return taken + (written > position ? written - position : 0);
        }
        taken += room;
        if (taken == count) return taken;
    }
}

} // extern "C"
