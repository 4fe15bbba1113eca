// Packing workers for mkdisk build: the runtime library's packer keeps one coder state per
// process, so files are packed side by side in worker processes forked from mkdisk, each with a
// library of its own. Jobs and results are short texts; the work itself (reading, packing,
// writing a disk file) happens in the worker, so no file's data passes through mkdisk.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mkdisk {

// A job whose work threw: the exception's text.
struct JobFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PackPool {
  public:
    // Turns a job into its result in a worker; an exception becomes JobFailed in mkdisk.
    using Work = std::function<std::string(const std::string& job)>;

    // Starts the workers at once: before mkdisk has threads of its own, whose locks a forked
    // worker could inherit held.
    PackPool(unsigned workers, Work work);
    // Ends the workers, however far they got, and waits for them: whatever a worker was writing
    // is no longer changing once the pool is gone, and nothing of theirs is left.
    ~PackPool();
    PackPool(const PackPool&) = delete;
    PackPool& operator=(const PackPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(workers_.size()); }

    // Hands the jobs out in their order to whichever worker is free. done(i, result) sees the
    // results in the order of the jobs, each as soon as those before it are in; finished(n) the
    // count of results in, in any order. stop() runs between results (it may throw) and at least
    // every 100 ms. Throws JobFailed for the first job in order that failed, once the results
    // before it are done, and a runtime_error when a worker ends by itself.
    void run(const std::vector<std::string>& jobs,
             const std::function<void(size_t, const std::string&)>& done,
             const std::function<void(size_t)>& finished, const std::function<void()>& stop);

  private:
    struct Worker {
        pid_t pid = -1;
        int jobs = -1;    // mkdisk writes jobs here
        int results = -1; // and reads the results here
    };
    [[noreturn]] static void serve(pid_t parent, int jobs, int results, const Work& work);
    void end_all();

    std::vector<Worker> workers_;
    // The workers' TMPDIR: the runtime library may make a temporary desk there, which a worker
    // ended at once cannot remove itself.
    std::string scratch_;
};

} // namespace mkdisk
