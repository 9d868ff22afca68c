// The ZIP writer's own DEFLATE compressor (level 8) beside zlib at levels 6,
// 8 and 9, on three corpora of this machine's own files, 8 MiB each:
//   text        documentation and headers (/usr/share/doc, /usr/include)
//   binary      shared libraries (/usr/lib/x86_64-linux-gnu/*.so*)
//   compressed  gzip files (/usr/share/doc, /usr/share/man)
// Many files each, in name order, none repeated. Each run reports the speed
// (bytes_per_second, of input) and the ratio (compressed / input); after the
// runs a summary compares the own compressor's speed with zlib level 8's per
// corpus, and the ratios of all four:
//   build/bin/deflate_bench --benchmark_counters_tabular=true
// On a busy machine, interleave repeated runs and compare their medians:
//   build/bin/deflate_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "service/zip/deflate.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kCorpusSize = 8 << 20;
constexpr std::size_t kLargestFile = 2 << 20;  // no one file dominates a corpus

enum Corpus { kText, kBinary, kCompressed, kCorpusCount };
const char* const kCorpusNames[] = {"text", "binary", "compressed"};

// Regular files under the roots, in name order, that the filter accepts.
std::vector<fs::path> FilesUnder(const std::vector<const char*>& roots,
                                 const std::function<bool(const fs::path&)>& accept) {
  std::vector<fs::path> files;
  for (const char* root : roots) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         it != end; it.increment(ec)) {
      if (ec) break;
      std::error_code sizeError;
      if (it->is_regular_file(sizeError) && !it->is_symlink(sizeError) && it->file_size(sizeError) > 0 &&
          it->file_size(sizeError) <= kLargestFile && accept(it->path())) {
        files.push_back(it->path());
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool HasGzipExtension(const fs::path& p) { return p.extension() == ".gz"; }
bool IsTextFile(const fs::path& p) {
  const std::string ext = p.extension().string();
  return !HasGzipExtension(p) && (ext.empty() || ext == ".txt" || ext == ".h" || ext == ".md" || ext == ".html" ||
                                  p.filename() == "copyright" || p.filename() == "changelog");
}
bool IsSharedLibrary(const fs::path& p) { return p.filename().string().find(".so") != std::string::npos; }

// Files appended whole until the corpus is full; a generated corpus of the
// kind when the machine has too few such files.
Bytes Gather(const std::vector<fs::path>& files, Corpus kind) {
  Bytes all;
  for (const auto& f : files) {
    if (all.size() >= kCorpusSize) break;
    std::ifstream in(f, std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (all.size() < kCorpusSize) {
    std::fprintf(stderr, "deflate_bench: too few %s files here; the corpus is partly generated\n",
                 kCorpusNames[kind]);
    std::mt19937 rng(kind);
    const char* words[] = {"the ", "license ", "software ", "of ", "and ", "to ", "you ", "copy ", "\n"};
    while (all.size() < kCorpusSize) {
      if (kind == kText) {
        const char* w = words[rng() % 9];
        all.insert(all.end(), w, w + std::strlen(w));
      } else {
        all.push_back(static_cast<std::uint8_t>(kind == kBinary ? rng() % 16 : rng()));
      }
    }
  }
  all.resize(kCorpusSize);
  return all;
}

const Bytes& CorpusBytes(int which) {
  static const std::map<int, Bytes> corpora = [] {
    std::map<int, Bytes> c;
    c[kText] = Gather(FilesUnder({"/usr/share/doc", "/usr/include"}, IsTextFile), kText);
    c[kBinary] = Gather(FilesUnder({"/usr/lib/x86_64-linux-gnu"}, IsSharedLibrary), kBinary);
    c[kCompressed] = Gather(FilesUnder({"/usr/share/doc", "/usr/share/man"}, HasGzipExtension), kCompressed);
    return c;
  }();
  return corpora.at(which);
}

class CountingIo : public zip::DeflateIo {
 public:
  explicit CountingIo(const Bytes& in) : in_(in) {}
  long ReadSource(std::uint8_t* buffer, std::size_t size) override {
    std::size_t n = std::min(size, in_.size() - pos_);
    std::memcpy(buffer, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  bool WriteArchive(const std::uint8_t*, std::size_t size) override {
    written += size;
    return true;
  }
  std::size_t written = 0;

 private:
  const Bytes& in_;
  std::size_t pos_ = 0;
};

void Report(benchmark::State& state, std::size_t in, std::size_t out, int which) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(in));
  state.counters["ratio"] = static_cast<double>(out) / static_cast<double>(in);
  state.SetLabel(kCorpusNames[which]);
}

void BM_OwnDeflateLevel8(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const Bytes& in = CorpusBytes(which);
  zip::DeflateState deflater;  // one per writer, reused across entries
  std::vector<std::uint8_t> buffer(zip::kDeflateOutputBufferSize);
  std::size_t out = 0;
  for (auto _ : state) {
    CountingIo io(in);
    std::uint16_t flags = 0;
    deflater.DeflateEntry(flags, buffer.data(), io);
    if (deflater.ErrorText() != nullptr) state.SkipWithError(deflater.ErrorText());
    out = io.written;
  }
  Report(state, in.size(), out, which);
}

void BM_ZlibRaw(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const Bytes& in = CorpusBytes(which);
  const int level = static_cast<int>(state.range(1));
  std::vector<std::uint8_t> buffer(zip::kDeflateOutputBufferSize);
  std::size_t out = 0;
  for (auto _ : state) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    int rc;
    do {
      z.next_out = buffer.data();
      z.avail_out = static_cast<uInt>(buffer.size());
      rc = deflate(&z, Z_FINISH);
    } while (rc == Z_OK);
    out = z.total_out;
    deflateEnd(&z);
  }
  Report(state, in.size(), out, which);
}

void RegisterAll() {
  for (int which = 0; which < kCorpusCount; which++) {
    benchmark::RegisterBenchmark("BM_OwnDeflateLevel8", BM_OwnDeflateLevel8)
        ->ArgName("corpus")
        ->Arg(which)
        ->Unit(benchmark::kMillisecond);
    for (int level : {6, 8, 9}) {
      benchmark::RegisterBenchmark("BM_ZlibRaw", BM_ZlibRaw)
          ->ArgNames({"corpus", "level"})
          ->Args({which, level})
          ->Unit(benchmark::kMillisecond);
    }
  }
}

// Keeps each run's speed and ratio for the summary while the console shows
// them as usual.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  struct Figures {
    double bytesPerSecond = 0;
    double ratio = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
      auto speed = run.counters.find("bytes_per_second");
      auto ratio = run.counters.find("ratio");
      if (speed == run.counters.end() || ratio == run.counters.end()) continue;
      // With repetitions the median stands for the benchmark.
      const std::string name = run.run_name.str();
      if (median || !medians.contains(name)) figures[name] = {speed->second.value, ratio->second.value};
      if (median) medians.insert(name);
    }
  }
  std::set<std::string> medians;
  std::map<std::string, Figures> figures;
};

void PrintSummary(const SummaryReporter& reporter) {
  std::printf("\n%-11s %10s %10s %7s %8s %8s %8s %8s  %s\n", "corpus", "own MB/s", "zlib8 MB/s", "speed",
              "own", "zlib6", "zlib8", "zlib9", "target: at least zlib 8's speed");
  for (int which = 0; which < kCorpusCount; which++) {
    const std::string corpus = std::to_string(which);
    auto find = [&](const std::string& name) {
      auto it = reporter.figures.find(name);
      return it == reporter.figures.end() ? SummaryReporter::Figures{} : it->second;
    };
    const auto own = find("BM_OwnDeflateLevel8/corpus:" + corpus);
    const auto z6 = find("BM_ZlibRaw/corpus:" + corpus + "/level:6");
    const auto z8 = find("BM_ZlibRaw/corpus:" + corpus + "/level:8");
    const auto z9 = find("BM_ZlibRaw/corpus:" + corpus + "/level:9");
    if (own.bytesPerSecond == 0 || z8.bytesPerSecond == 0) continue;
    const double speed = own.bytesPerSecond / z8.bytesPerSecond;
    const bool met = speed >= 1.0;
    std::printf("%-11s %10.1f %10.1f %6.2fx %8.4f %8.4f %8.4f %8.4f  %s\n", kCorpusNames[which],
                own.bytesPerSecond / 1e6, z8.bytesPerSecond / 1e6, speed, own.ratio, z6.ratio, z8.ratio, z9.ratio,
                met ? "met" : "NOT met");
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary(reporter);
  return 0;
}
