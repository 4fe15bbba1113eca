// Huffman speed on a text corpus, through the Exec table: packing with method 1 (bytes in per
// second) and unpacking (bytes out per second), each as min/median/max of several rounds, every
// result checked.
// Usage: huffman_bench [corpus-file]; without a file, the C headers under /usr/include (about
// 16 MB of them) are the corpus.
#include <vantrel/exec.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr int kRounds = 7;
constexpr double kUnpackTarget = 300; // MB/s
constexpr double kPackTarget = 150;
constexpr size_t kCorpusBytes = 16u << 20;

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<uint8_t> header_corpus() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator("/usr/include", ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (it->is_regular_file() && it->path().extension() == ".h") files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    std::vector<uint8_t> corpus;
    while (corpus.size() < kCorpusBytes && !files.empty()) {
        for (const auto& f : files) {
            std::vector<uint8_t> bytes = read_file(f);
            corpus.insert(corpus.end(), bytes.begin(), bytes.end());
            if (corpus.size() >= kCorpusBytes) break;
        }
    }
    corpus.resize(std::min(corpus.size(), kCorpusBytes));
    return corpus;
}

void report(const char* what, std::vector<double> rates, double target) {
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    std::printf("  %-20s %6.0f %6.0f %6.0f  target >= %.0f: %s\n", what, rates.front(), median,
                rates.back(), target, median >= target ? "ok" : "UNDER");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<uint8_t> corpus = argc > 1 ? read_file(argv[1]) : header_corpus();
    if (corpus.empty()) {
        std::fprintf(stderr, "huffman_bench: no corpus\n");
        return 1;
    }
    ExecTable* exec = EXEC_OpenExec(0);
    if (!exec) return 1;
    const auto length = static_cast<uint32_t>(corpus.size());
    std::vector<uint8_t> block(corpus.size() + 5);
    const uint32_t packed = exec->EXEC_PACKCompress(1, corpus.data(), block.data(), length);
    if (packed == 0 || block[0] != 1) {
        std::fprintf(stderr, "huffman_bench: the corpus did not pack with method 1\n");
        return 1;
    }
    std::vector<uint8_t> out(corpus.size());
    std::vector<double> pack_rates, unpack_rates;
    for (int r = 0; r < kRounds; ++r) {
        std::vector<uint8_t> again(block.size());
        auto start = std::chrono::steady_clock::now();
        const uint32_t size = exec->EXEC_PACKCompress(1, corpus.data(), again.data(), length);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (size != packed || !std::equal(again.begin(), again.begin() + size, block.begin())) {
            std::fprintf(stderr, "huffman_bench: packing again gave other bytes\n");
            return 1;
        }
        pack_rates.push_back(corpus.size() / 1e6 / took.count());

        std::memset(out.data(), 0, out.size());
        start = std::chrono::steady_clock::now();
        const uint16_t ok = exec->EXEC_PACKDecompress(block.data(), out.data(), packed);
        took = std::chrono::steady_clock::now() - start;
        if (!ok || out != corpus) {
            std::fprintf(stderr, "huffman_bench: unpacking gave other bytes\n");
            return 1;
        }
        unpack_rates.push_back(corpus.size() / 1e6 / took.count());
    }
    EXEC_CloseExec();
    std::printf("huffman, %.1f MB of text (packed to %.1f%%), %d rounds, MB/s min/median/max:\n",
                corpus.size() / 1e6, 100.0 * packed / corpus.size(), kRounds);
    report("unpack (bytes out)", unpack_rates, kUnpackTarget);
    report("pack (bytes in)", pack_rates, kPackTarget);
    return 0;
}
