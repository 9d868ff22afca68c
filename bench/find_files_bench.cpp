// Listing of an input folder by masks, as the worker does on every cycle, for
// folders of 5,000 to 100,000 files. Two masks that both match every file make
// the listing drop each name once as a duplicate. The time per name should
// stay flat as the folder grows:
//   build/bin/find_files_bench

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "service/core/find_files.h"

namespace {

namespace fs = std::filesystem;

// A folder of count empty files, made once per size and removed at exit.
class Folder {
 public:
  explicit Folder(long count) {
    path_ = fs::temp_directory_path() / ("find_files_bench." + std::to_string(std::random_device{}()) + "." + std::to_string(count));
    fs::create_directories(path_);
    char name[32];
    for (long i = 0; i < count; i++) {
      std::snprintf(name, sizeof name, "doc%06ld.txt", i);
      std::ofstream(path_ / name).put('x');
    }
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  CString Path() const { return CString(path_.wstring().c_str()); }

 private:
  fs::path path_;
};

void BM_FindFilesTwoMasks(benchmark::State& state) {
  const Folder folder(state.range(0));
  for (auto _ : state) {
    CStringArray names;
    if (FindFiles(folder.Path(), names, {L"*.txt", L"*"}) != 0 || names.GetSize() != state.range(0)) {
      state.SkipWithError("listing failed");
      break;
    }
    benchmark::DoNotOptimize(names);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_FindFilesTwoMasks)->Arg(5000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
