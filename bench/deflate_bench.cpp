// The ZIP writer's own DEFLATE compressor (level 8) against zlib at levels 6
// and 9, on a text corpus and on random data. Each run reports the speed
// (bytes_per_second, of input) and the ratio (compressed / input) side by side:
//   build/bin/deflate_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "service/zip/deflate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kCorpusSize = 4 << 20;

// Real English prose: Debian's license texts, end to end until the size is
// reached; a generated text when they are missing.
const Bytes& TextCorpus() {
  static const Bytes corpus = [] {
    Bytes all;
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator("/usr/share/common-licenses", ec)) {
      if (e.is_regular_file()) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (all.empty()) {
      std::mt19937 rng(1);
      const char* words[] = {"the ", "license ", "software ", "of ", "and ", "to ", "you ", "copy ", "\n"};
      while (all.size() < 300000) {
        const char* w = words[rng() % 9];
        all.insert(all.end(), w, w + std::strlen(w));
      }
    }
    Bytes out;
    while (out.size() < kCorpusSize) out.insert(out.end(), all.begin(), all.end());
    out.resize(kCorpusSize);
    return out;
  }();
  return corpus;
}

const Bytes& RandomCorpus() {
  static const Bytes corpus = [] {
    std::mt19937_64 rng(2);
    Bytes b(kCorpusSize);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  }();
  return corpus;
}

const Bytes& Corpus(int which) { return which == 0 ? TextCorpus() : RandomCorpus(); }
const char* CorpusName(int which) { return which == 0 ? "text" : "random"; }

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
  state.SetLabel(CorpusName(which));
}

void BM_OwnDeflateLevel8(benchmark::State& state) {
  const Bytes& in = Corpus(static_cast<int>(state.range(0)));
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
  Report(state, in.size(), out, static_cast<int>(state.range(0)));
}

void BM_ZlibRaw(benchmark::State& state) {
  const Bytes& in = Corpus(static_cast<int>(state.range(0)));
  int level = static_cast<int>(state.range(1));
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
  Report(state, in.size(), out, static_cast<int>(state.range(0)));
}

BENCHMARK(BM_OwnDeflateLevel8)->ArgName("corpus")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibRaw)->ArgNames({"corpus", "level"})->Args({0, 6})->Args({0, 9})->Args({1, 6})->Args({1, 9})
    ->Unit(benchmark::kMillisecond);

}  // namespace
