// Huffman unpacking speed on a text corpus: packs the corpus with method 1 through the Exec
// table, then times the unpacking (fastest of several rounds) and checks the result.
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
    double best = 1e300;
    for (int r = 0; r < kRounds; ++r) {
        std::memset(out.data(), 0, out.size());
        const auto start = std::chrono::steady_clock::now();
        const uint16_t ok = exec->EXEC_PACKDecompress(block.data(), out.data(), packed);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (!ok || out != corpus) {
            std::fprintf(stderr, "huffman_bench: unpacking gave other bytes\n");
            return 1;
        }
        best = std::min(best, took.count());
    }
    EXEC_CloseExec();
    std::printf("huffman unpack: %.1f MB of text (packed to %.1f%%): %.0f MB/s (target >= 150)\n",
                corpus.size() / 1e6, 100.0 * packed / corpus.size(), corpus.size() / 1e6 / best);
    return 0;
}
