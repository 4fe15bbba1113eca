// Files as vpack reads and writes them: whole inputs in memory, outputs that appear under their
// name only once complete, a progress line for big inputs, and the one-line failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace vpack {

// A failed command: the text is the one line shown after "vpack: ".
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A signal asked vpack to stop; thrown at the next check so outputs are cleaned up.
struct Interrupted {
    int signal_number = 0;
};

// Largest input: a packed block stores the unpacked length in 32 bits and must itself fit them.
constexpr uint64_t kMaxInputBytes = UINT32_MAX - 5;

// Big buffers come from the kernel with their pages mapped in one call: page by page, the faults
// on a few tens of MB cost more than a fast coder's whole run.
struct BytesRelease {
    size_t mapped = 0; // 0: from new[]
    void operator()(uint8_t* p) const;
};

// A byte buffer that is not cleared on allocation (inputs and outputs are overwritten anyway).
class Bytes {
  public:
    Bytes() = default;
    // Failure naming `what` when the memory is not there.
    Bytes(size_t size, const std::string& what);
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }
    void shrink(size_t size) { size_ = size < size_ ? size : size_; }
    uint8_t& operator[](size_t i) { return data_[i]; }
    uint8_t operator[](size_t i) const { return data_[i]; }

  private:
    std::unique_ptr<uint8_t[], BytesRelease> data_;
    size_t size_ = 0;
};

// On SIGINT, SIGTERM, SIGHUP and SIGQUIT the temporary output goes at once; then the signal ends
// vpack as it would have, or, where the library has a handler of its own, reaches that handler
// and the command stops at its next check. Call again after the library put in its handlers.
// SIGPIPE is ignored: a write to a closed pipe throws Interrupted with it.
void install_signal_handlers();
// Throws Interrupted when a signal has come.
void check_interrupted();

// One line on stderr, rewritten in place, for inputs big enough to take a while. Only when
// stderr is a terminal; cleared when the object goes.
class Progress {
  public:
    Progress(std::string name, uint64_t input_bytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void percent(const char* phase, uint64_t done, uint64_t total);
    void step(const std::string& phase);
    void count(const char* phase, uint64_t bytes);
    void clear();

  private:
    void show(const std::string& text);
    std::string name_;
    bool enabled_ = false;
    bool shown_ = false;
    std::string last_;
};

// An input file, opened at once so its size is known before it is read.
class InputFile {
  public:
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The size of a regular file; 0 for pipes and devices until read.
    uint64_t size_hint() const { return size_hint_; }
    Bytes read_all(Progress& progress);

  private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_hint_ = 0;
};

// An output file written under a temporary name beside it, flushed to the disk and renamed into
// place by commit(), so a failure, a signal or a crash never leaves a half-written output. "-" is
// standard output, written directly. Without `replace`, an existing output is refused before any
// work is done.
class OutputFile {
  public:
    OutputFile(std::string path, bool replace);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const uint8_t* data, size_t size);
    void commit();
    bool is_stdout() const { return path_ == "-"; }
    const std::string& path() const { return path_; }

  private:
    void discard();
    std::string path_;
    std::string temp_;
    bool replace_ = false;
    int fd_ = -1;
};

// Writes a whole buffer with a progress percentage, then commits.
void write_all(OutputFile& out, const uint8_t* data, size_t size, Progress& progress);

// part as a share of whole with one decimal, "55.0%".
std::string percent_of(uint64_t part, uint64_t whole);

} // namespace vpack
