#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// Helpers shared by the benchmark programs (bench/*_bench.cpp).
namespace Varnex::Bench {

// Wall clock since construction.
class Stopwatch {
public:
    Stopwatch() : m_start(std::chrono::steady_clock::now()) {}
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// The process's peak resident set so far, in bytes.
long long MaxRssBytes();

// One JSON object on one line, keys in insertion order: the last line a
// benchmark prints, read by bench/run.sh.
class JsonLine {
public:
    JsonLine& Add(const std::string& key, long long value);
    JsonLine& Add(const std::string& key, double value);
    JsonLine& Add(const std::string& key, const std::string& value);
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

// The file tree of the file-system benchmarks: 25 x 20 x 20 folders with 20
// sparse files each (200,000 files, apparent sizes 0 to 64 KiB, the same on
// every run). Created below `dir`, which must not exist yet. Returns false and
// prints the reason on failure.
struct TreeStats {
    long long entries = 0;  // folders and files, `dir` included
    long long bytes = 0;    // apparent sizes of the files
};
// `scale` multiplies the number of top folders: 5 gives 1,000,000 files.
bool GenerateFsTree(const std::string& dir, TreeStats* stats, int scale = 1);

}  // namespace Varnex::Bench
