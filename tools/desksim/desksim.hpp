// What desksim's commands share: the one-line failure, output in one piece, the desk folder a
// command works on, and files that appear under their name only once complete.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace desksim {

// "desksim: reason" on standard error; returns the failure status.
int fail(const std::string& reason);
// Writes text to standard output; false (after saying so) when that fails.
bool write_out(const std::string& text);

// The desk folder given, else the one DESKSIM names; nothing (the reason reported) when neither
// names a desk folder. `without` says what the built-in desk lacks, for the message.
std::optional<std::filesystem::path> desk_folder(const std::string& given, const char* without);

// A file written under a temporary name beside it and renamed into place by commit(), so a
// failure or a signal (SIGINT, SIGTERM, SIGHUP, SIGQUIT) never leaves a half-written one; an
// existing file of that name is replaced. Failures throw std::runtime_error with one line.
class ReplacedFile {
  public:
    explicit ReplacedFile(std::filesystem::path path);
    ~ReplacedFile();
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;
    void write(const void* data, size_t size);
    void commit();

  private:
    void discard();
    std::filesystem::path path_;
    std::string temp_;
    int fd_ = -1;
};

// desksim sound: the desk's speaker.log as a WAV file.
int run_sound(const std::string& desk, const std::string& output);

enum class ScheduleAction { add, list, clear };
// desksim schedule: words are add's TICK key ARG or TICK mouse DX DY BUTTONS.
int run_schedule(const std::string& desk, ScheduleAction action,
                 const std::vector<std::string>& words);

} // namespace desksim
