// Resource files: many typed, numbered data blocks in one disk file, with an optional lookup
// index, and packed blocks stored under a type and id. Every service re-reads the header from
// disk and checks each entry against the file's length before it follows it, so a damaged or
// hostile file ends a service with its failure result instead of a seek or a read elsewhere.
#include "core/library.hpp"
#include "data/pack.hpp"

#include <cstring>
#include <limits>

namespace vantrel {

namespace {

constexpr uint16_t kOwner = 3;
constexpr uint32_t kOpenId = 0x30001010;
constexpr uint32_t kSavePackedId = 0x30001020;
constexpr uint32_t kLoadPackedId = 0x30001030;

constexpr char kMagic[6] = {'Q', '5', 'V', 'R', 'S', 'C'};
constexpr char kAnyType[4] = {'A', 'N', 'Y', ' '};
constexpr uint8_t kWrittenVersion = 3;
constexpr uint8_t kIndexedVersion = 3;
constexpr uint8_t kNoIndex = 0;
constexpr uint8_t kIndexBuilt = 1;
constexpr uint8_t kNoIndexMinus = 0x2D;
constexpr uint8_t kNoUnpackedLength = 0xFF;

constexpr uint32_t kHeaderSize = 14;
constexpr uint32_t kEntryHeaderSize = 10;
constexpr uint32_t kIndexRecordSize = 10;
constexpr uint32_t kIndexGroup = 25;
// Zeros for a new entry's data are written through a buffer of at most this size.
constexpr uint32_t kZeroChunk = 32 * 1024;
// Offsets travel through the signed seek of the file service.
constexpr uint64_t kLargestOffset = std::numeric_limits<int32_t>::max();

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool same_bytes(const void* a, const void* b, uint32_t n) {
    return exec()->EXEC_MEMCompare(a, b, n) != 0;
}

struct Header {
    uint8_t raw[kHeaderSize];
    uint8_t version() const { return raw[6]; }
    uint8_t index_state() const { return raw[7]; }
    uint32_t index_offset() const { return get32(raw + 8); }
    uint16_t count() const { return get16(raw + 12); }
    bool index_usable() const {
        return version() >= kIndexedVersion && index_state() != kNoIndex &&
               index_state() != kNoIndexMinus;
    }
    bool valid() const {
        return same_bytes(raw, kMagic, sizeof kMagic) && (version() == 2 || version() == 3);
    }
};

struct Entry {
    uint8_t type[4];
    uint16_t id;
    uint32_t size;
    uint32_t offset; // of the entry header
    uint32_t end() const { return offset + kEntryHeaderSize + size; }
    bool is(const void* t, uint16_t i) const { return id == i && same_bytes(type, t, 4); }
};

// One service's view of an open resource file: the header as read and the file's length, the
// bound every offset and size in the file is held to.
class Resource {
  public:
    explicit Resource(FILE* file) : file_(file) {}

    // Reads and checks the header; the file then stands at the first entry.
    bool read_header() {
        ExecTable* t = exec();
        if (file_ == nullptr) return false;
        if (t->EXEC_FILESeek(file_, 0, SEEK_SET) != 0) return false;
        if (t->EXEC_FILERead(header.raw, 1, kHeaderSize, file_) != kHeaderSize) return false;
        length_ = t->EXEC_FILELength(file_);
        if (length_ > kLargestOffset) return false;
        return header.valid();
    }

    bool write_header() {
        ExecTable* t = exec();
        if (t->EXEC_FILESeek(file_, 0, SEEK_SET) != 0) return false;
        return t->EXEC_FILEWrite(header.raw, 1, kHeaderSize, file_) == kHeaderSize;
    }

    bool seek(uint64_t offset) {
        return offset <= length_ &&
               exec()->EXEC_FILESeek(file_, static_cast<int32_t>(offset), SEEK_SET) == 0;
    }

    // Reads the entry header at offset, refusing one whose data would run past the end of the
    // file; the file then stands at the entry's data.
    bool read_entry(uint32_t offset, Entry& entry) {
        uint8_t raw[kEntryHeaderSize];
        if (uint64_t{offset} + kEntryHeaderSize > length_ || !seek(offset)) return false;
        if (exec()->EXEC_FILERead(raw, 1, kEntryHeaderSize, file_) != kEntryHeaderSize)
            return false;
        std::memcpy(entry.type, raw, 4);
        entry.id = get16(raw + 4);
        entry.size = get32(raw + 6);
        entry.offset = offset;
        return uint64_t{offset} + kEntryHeaderSize + entry.size <= length_;
    }

    // Walks the entries in file order from `from` (an entry header offset) while visit returns
    // true. Returns the offset after the last entry visited, or 0 when an entry cannot be read;
    // `stopped` tells whether visit ended the walk (the file then stands at that entry's data).
    template <class Visit>
    uint32_t walk(uint32_t from, uint16_t first, Visit visit, bool& stopped) {
        stopped = false;
        uint32_t offset = from;
        for (uint32_t i = first; i < header.count(); ++i) {
            Entry entry{};
            if (!read_entry(offset, entry)) return 0;
            if (!visit(entry)) {
                stopped = true;
                return entry.end();
            }
            offset = entry.end();
        }
        return offset;
    }

    // The entry (type, id) by the index when there is a usable one, else by a walk; the file
    // stands at its data. False when absent or unreadable.
    bool find(const void* type, uint16_t id, Entry& found) {
        if (header.index_usable()) {
            const int answer = find_in_index(type, id, found);
            if (answer >= 0) return answer == 1;
        }
        bool stopped = false;
        const uint32_t end = walk(
            kHeaderSize, 0,
            [&](const Entry& e) {
                found = e;
                return !e.is(type, id);
            },
            stopped);
        return end != 0 && stopped;
    }

    Header header{};

  private:
    // 1 found, 0 absent, -1 the index cannot answer (then the caller walks the entries). A
    // record is followed only to an entry header that is inside the file and names the same
    // entry, so a stale or damaged index never hands out another entry's data.
    int find_in_index(const void* type, uint16_t id, Entry& found) {
        const uint32_t count = header.count();
        const uint64_t at = header.index_offset();
        if (at + uint64_t{count} * kIndexRecordSize > length_ || !seek(at)) return -1;
        uint8_t records[kIndexGroup * kIndexRecordSize];
        for (uint32_t done = 0; done < count;) {
            const uint32_t group = count - done < kIndexGroup ? count - done : kIndexGroup;
            if (!seek(at + uint64_t{done} * kIndexRecordSize)) return -1;
            const uint32_t bytes = group * kIndexRecordSize;
            if (exec()->EXEC_FILERead(records, 1, bytes, file_) != bytes) return -1;
            for (uint32_t i = 0; i < group; ++i) {
                const uint8_t* record = records + i * kIndexRecordSize;
                if (get16(record + 4) != id || !same_bytes(record, type, 4)) continue;
                if (!read_entry(get32(record + 6), found) || !found.is(type, id)) return -1;
                return 1;
            }
            done += group;
        }
        return 0;
    }

    FILE* file_;
    uint32_t length_ = 0;
};

FILE* file_of(RSCFile* rsc) {
    return rsc ? rsc->file : nullptr;
}

// The enumeration step of FindFirst and FindNext: the first entry from `from` on whose type
// matches the argument (or any, for "ANY "), reported to the caller and kept as the cursor.
uint32_t find_matching(RSCFile* rsc, Resource& r, uint32_t from, uint16_t first, void* type,
                       uint16_t* id_out) {
    uint8_t wanted[4];
    std::memcpy(wanted, type, 4);
    const bool any = same_bytes(wanted, kAnyType, 4);
    Entry match{};
    bool stopped = false;
    const uint32_t end = r.walk(
        from, first,
        [&](const Entry& e) {
            match = e;
            return !(any || same_bytes(e.type, wanted, 4));
        },
        stopped);
    if (end == 0 || !stopped) return 0;
    *id_out = match.id;
    rsc->id = match.id;
    std::memcpy(rsc->type, match.type, 4);
    std::memcpy(type, match.type, 4);
    return match.size;
}

} // namespace

} // namespace vantrel

using namespace vantrel;

extern "C" {

uint16_t EXEC_MEMCompare(const void* a, const void* b, uint32_t count) {
    if (a == nullptr || b == nullptr || count == 0) return 1;
    return std::memcmp(a, b, count) == 0 ? 1 : 0;
}

uint16_t EXEC_RSCCreate(const char* path) {
    ExecTable* t = exec();
    if (path == nullptr) return 0;
    FILE* file = t->EXEC_FILEOpen(path, "wb");
    if (file == nullptr) return 0;
    uint8_t header[kHeaderSize]{};
    std::memcpy(header, kMagic, sizeof kMagic);
    header[6] = kWrittenVersion;
    const uint32_t written = t->EXEC_FILEWrite(header, kHeaderSize, 1, file);
    // The close flushes: a header that never reached the disk is not a created file.
    const bool flushed = t->EXEC_FILEFlush(file) == 0;
    t->EXEC_FILEClose(file);
    return written == 1 && flushed ? 1 : 0;
}

RSCFile* EXEC_RSCOpen(const char* path) {
    TraceScope trace(kOpenId);
    ExecTable* t = exec();
    if (path == nullptr) return nullptr;
    auto* rsc = static_cast<RSCFile*>(t->EXEC_MEMAlloc(sizeof(RSCFile), kOwner));
    if (rsc == nullptr) return nullptr;
    std::memcpy(rsc->type, kAnyType, 4);
    rsc->id = 0;
    rsc->file = t->EXEC_FILEOpen(path, "rb+");
    if (rsc->file == nullptr) {
        t->EXEC_MEMFarFree(rsc, kOwner);
        return nullptr;
    }
    Resource r(rsc->file);
    if (!r.read_header()) {
        t->EXEC_FILEClose(rsc->file);
        t->EXEC_MEMFarFree(rsc, kOwner);
        return nullptr;
    }
    return rsc;
}

void EXEC_RSCClose(RSCFile* rsc) {
    if (rsc == nullptr) return;
    ExecTable* t = exec();
    t->EXEC_FILEClose(rsc->file);
    rsc->file = nullptr;
    t->EXEC_MEMFarFree(rsc, kOwner);
}

uint16_t EXEC_RSCAdd(RSCFile* rsc, const void* type, uint16_t id, uint32_t size) {
    ExecTable* t = exec();
    Resource r(file_of(rsc));
    if (type == nullptr || !r.read_header()) return 0;
    if (r.header.count() == std::numeric_limits<uint16_t>::max()) return 0;
    bool duplicate = false;
    const uint32_t end = r.walk(
        kHeaderSize, 0, [&](const Entry& e) { return !e.is(type, id); }, duplicate);
    if (end == 0 || duplicate || !r.seek(end)) return 0;
    if (uint64_t{end} + kEntryHeaderSize + size > kLargestOffset) return 0;
    uint8_t raw[kEntryHeaderSize];
    std::memcpy(raw, type, 4);
    put16(raw + 4, id);
    put32(raw + 6, size);
    if (t->EXEC_FILEWrite(raw, kEntryHeaderSize, 1, rsc->file) != 1) return 0;
    // The data area is zero-filled now, so the entry lies inside the file from the start; a
    // modest buffer does it for entries of any size.
    if (size > 0) {
        const uint32_t chunk = size < kZeroChunk ? size : kZeroChunk;
        auto* zeros = static_cast<uint8_t*>(t->EXEC_MEMFarMalloc(chunk, kOwner));
        if (zeros == nullptr) return 0;
        std::memset(zeros, 0, chunk);
        bool written = true;
        for (uint32_t left = size; left > 0 && written;) {
            const uint32_t n = left < chunk ? left : chunk;
            written = t->EXEC_FILEWrite(zeros, n, 1, rsc->file) == 1;
            left -= n;
        }
        t->EXEC_MEMFarFree(zeros, kOwner);
        if (!written) return 0;
    }
    put16(r.header.raw + 12, static_cast<uint16_t>(r.header.count() + 1));
    r.header.raw[7] = kNoIndex;
    return r.write_header() ? 1 : 0;
}

uint16_t EXEC_RSCDelete(RSCFile* rsc, const void* type, uint16_t id) {
    ExecTable* t = exec();
    Resource r(file_of(rsc));
    if (type == nullptr || !r.read_header()) return 0;
    Entry match{};
    bool found = false;
    const uint32_t after = r.walk(
        kHeaderSize, 0,
        [&](const Entry& e) {
            match = e;
            return !e.is(type, id);
        },
        found);
    if (after == 0 || !found) return 0;
    const uint32_t length = match.size + kEntryHeaderSize;
    auto* buffer = static_cast<uint8_t*>(t->EXEC_MEMFarMalloc(length, kOwner));
    if (buffer == nullptr) return 0;
    // Everything after the entry moves down over it; the file keeps its length.
    uint32_t from = after;
    uint32_t to = match.offset;
    for (;;) {
        if (t->EXEC_FILESeek(rsc->file, static_cast<int32_t>(from), SEEK_SET) != 0) break;
        const uint32_t got = t->EXEC_FILERead(buffer, 1, length, rsc->file);
        if (got > 0 && t->EXEC_FILESeek(rsc->file, static_cast<int32_t>(to), SEEK_SET) == 0)
            t->EXEC_FILEWrite(buffer, 1, got, rsc->file);
        if (got != length) break;
        from += length;
        to += length;
    }
    t->EXEC_MEMFarFree(buffer, kOwner);
    put16(r.header.raw + 12, static_cast<uint16_t>(r.header.count() - 1));
    r.header.raw[7] = kNoIndex;
    return r.write_header() ? 1 : 0;
}

uint32_t EXEC_RSCFind(RSCFile* rsc, const void* type, uint16_t id) {
    Resource r(file_of(rsc));
    if (type == nullptr || !r.read_header()) return 0;
    Entry found{};
    if (!r.find(type, id, found)) return 0;
    return found.size;
}

uint32_t EXEC_RSCFindFirst(RSCFile* rsc, void* type, uint16_t* id) {
    Resource r(file_of(rsc));
    if (type == nullptr || id == nullptr || !r.read_header()) return 0;
    return find_matching(rsc, r, kHeaderSize, 0, type, id);
}

uint32_t EXEC_RSCFindNext(RSCFile* rsc, void* type, uint16_t* id) {
    Resource r(file_of(rsc));
    if (type == nullptr || id == nullptr || !r.read_header()) return 0;
    uint16_t index = 0;
    bool stopped = false;
    const uint32_t after = r.walk(
        kHeaderSize, 0,
        [&](const Entry& e) {
            ++index;
            return !e.is(rsc->type, rsc->id);
        },
        stopped);
    if (after == 0 || !stopped) return 0;
    return find_matching(rsc, r, after, index, type, id);
}

uint32_t EXEC_RSCRead(RSCFile* rsc, uint32_t count, void* destination) {
    if (rsc == nullptr || destination == nullptr || count == 0) return 0;
    return exec()->EXEC_FILERead(destination, 1, count, rsc->file) == count ? count : 0;
}

uint32_t EXEC_RSCWrite(RSCFile* rsc, uint32_t count, const void* source) {
    if (rsc == nullptr || source == nullptr || count == 0) return 0;
    return exec()->EXEC_FILEWrite(source, 1, count, rsc->file) == count ? count : 0;
}

uint16_t EXEC_RSCBuildIndex(RSCFile* rsc) {
    ExecTable* t = exec();
    Resource r(file_of(rsc));
    if (!r.read_header()) return 0;
    bool stopped = false;
    const uint32_t index_at = r.walk(
        kHeaderSize, 0, [](const Entry&) { return true; }, stopped);
    if (index_at == 0) return 0;
    if (uint64_t{index_at} + uint64_t{r.header.count()} * kIndexRecordSize > kLargestOffset)
        return 0;
    uint32_t read_at = kHeaderSize;
    uint32_t write_at = index_at;
    for (uint32_t i = 0; i < r.header.count(); ++i) {
        Entry entry{};
        if (!r.read_entry(read_at, entry)) return 0;
        uint8_t record[kIndexRecordSize];
        std::memcpy(record, entry.type, 4);
        put16(record + 4, entry.id);
        put32(record + 6, entry.offset);
        read_at = entry.end();
        if (t->EXEC_FILESeek(rsc->file, static_cast<int32_t>(write_at), SEEK_SET) != 0 ||
            t->EXEC_FILEWrite(record, 1, kIndexRecordSize, rsc->file) != kIndexRecordSize)
            return 0;
        write_at += kIndexRecordSize;
    }
    r.header.raw[7] = kIndexBuilt;
    put32(r.header.raw + 8, index_at);
    return r.write_header() ? 1 : 0;
}

void EXEC_RSCSavePacked(const void* data, uint32_t size, const char* path, const void* type,
                        uint16_t id, uint8_t method) {
    TraceScope trace(kSavePackedId);
    ExecTable* t = exec();
    if (data == nullptr || path == nullptr || type == nullptr) return;
    // The packed form never exceeds the data plus its header; a size that would wrap cannot be
    // packed at all.
    if (size > std::numeric_limits<uint32_t>::max() - pack::kHeaderSize) return;
    trace.step(1);
    auto* buffer = static_cast<uint8_t*>(t->EXEC_MEMFarMalloc(size + pack::kHeaderSize, kOwner));
    if (buffer == nullptr) {
        trace.step(15);
        return;
    }
    trace.step(2);
    const uint32_t packed = t->EXEC_PACKCompress(method, data, buffer, size);
    // A method the packer refuses gives no packed form: the stored entry is left as it is
    // rather than replaced by an empty one, and the failure is reported as a failed write.
    if (packed == 0 && size != 0) t->EXEC_Printf("Error writing the data.\n");
    if (packed != 0 || size == 0) {
        trace.step(3);
        // Only a missing file is created: one that exists but cannot be opened as a resource
        // file (damaged, or not ours) is kept, and the open below reports it.
        if (RSCFile* probe = t->EXEC_RSCOpen(path)) {
            t->EXEC_RSCClose(probe);
        } else if (FILE* other = t->EXEC_FILEOpen(path, "rb")) {
            t->EXEC_FILEClose(other);
        } else {
            t->EXEC_RSCCreate(path);
        }
        trace.step(4);
        RSCFile* rsc = t->EXEC_RSCOpen(path);
        if (rsc == nullptr) {
            t->EXEC_Printf("Failed to open resource file.\n");
        } else {
            trace.step(5);
            const uint32_t existing = t->EXEC_RSCFind(rsc, type, id);
            if (existing == packed) {
                trace.step(6);
                if (t->EXEC_RSCWrite(rsc, packed, buffer) == 0) {
                    trace.step(7);
                    t->EXEC_Printf("Error writing the data.\n");
                }
            } else {
                if (existing != 0) t->EXEC_RSCDelete(rsc, type, id);
                trace.step(8);
                if (t->EXEC_RSCAdd(rsc, type, id, packed) == 0) {
                    trace.step(9);
                    t->EXEC_Printf("Failed to add resource\n");
                } else if (t->EXEC_RSCFind(rsc, type, id) == packed) {
                    trace.step(10);
                    if (t->EXEC_RSCWrite(rsc, packed, buffer) == 0) {
                        trace.step(11);
                        t->EXEC_Printf("Error writing the data.\n");
                    }
                } else {
                    trace.step(12);
                    t->EXEC_Printf("Unable to find resource\n");
                }
            }
            trace.step(13);
            t->EXEC_RSCClose(rsc);
        }
    }
    trace.step(14);
    t->EXEC_MEMFarFree(buffer, kOwner);
    trace.step(15);
}

uint32_t EXEC_RSCPackedSize(const char* path, const void* type, uint16_t id) {
    ExecTable* t = exec();
    if (path == nullptr || type == nullptr) return 0;
    RSCFile* rsc = t->EXEC_RSCOpen(path);
    if (rsc == nullptr) return 0;
    uint32_t result = 0;
    uint8_t head[pack::kHeaderSize];
    if (t->EXEC_RSCFind(rsc, type, id) >= pack::kHeaderSize &&
        t->EXEC_RSCRead(rsc, pack::kHeaderSize, head) == pack::kHeaderSize &&
        head[0] != kNoUnpackedLength)
        result = pack::read_length(head);
    t->EXEC_RSCClose(rsc);
    return result;
}

uint16_t EXEC_RSCLoadPacked(void* destination, uint32_t capacity, const char* path,
                            const void* type, uint16_t id) {
    TraceScope trace(kLoadPackedId);
    ExecTable* t = exec();
    if (destination == nullptr || path == nullptr || type == nullptr) {
        trace.step(15);
        return 0;
    }
    RSCFile* rsc = t->EXEC_RSCOpen(path);
    if (rsc == nullptr) {
        trace.step(15);
        return 0;
    }
    uint16_t result = 0;
    trace.step(1);
    const uint32_t packed = capacity != 0 ? t->EXEC_RSCFind(rsc, type, id) : 0;
    if (packed >= pack::kHeaderSize) {
        trace.step(2);
        auto* buffer = static_cast<uint8_t*>(t->EXEC_MEMFarMalloc(packed, kOwner));
        if (buffer != nullptr) {
            trace.step(3);
            // The unpacker fills as many bytes as the block says: a block that says more than
            // the caller has room for is refused, not unpacked.
            if (t->EXEC_RSCRead(rsc, packed, buffer) == packed &&
                pack::read_length(buffer) <= capacity) {
                trace.step(4);
                if (t->EXEC_PACKDecompress(buffer, destination, packed) != 0) {
                    trace.step(5);
                    result = 1;
                }
                trace.step(6);
            }
            trace.step(7);
            t->EXEC_MEMFarFree(buffer, kOwner);
            trace.step(8);
        }
    }
    trace.step(9);
    t->EXEC_RSCClose(rsc);
    trace.step(10);
    trace.step(15);
    return result;
}

} // extern "C"
