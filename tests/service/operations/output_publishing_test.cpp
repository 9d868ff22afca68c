// UNPK, PACK and MOVE write their outputs under temporary names, readable by
// their owner only, and give them their names and their input's permission
// bits only when complete, never replacing:
//  - killed in the middle of writing an output, as a crash or a kill ends
//    them (at a write past a size limit), they leave nothing under an
//    output's name, the input is still there, and the next runs take the
//    claim back, remove the temporary files and process the file whole;
//  - a name that another program takes while the output is written goes
//    through the conflict rules, as a name taken before.

#include <poll.h>
#include <sys/inotify.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <thread>

#include "service/core/staged_outputs.h"
#include "service/operations/operations.h"
#include "tests/service/operations/archive_test_files.h"
#include "tests/support/crash_child.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/shm_folder.h"

namespace fs = std::filesystem;

namespace fileops {
namespace {

using namespace testsupport;

constexpr rlim_t kWriteLimit = 64 * 1024;  // the outputs below are four times as large
// Neither what a new file gets nor its owner's alone.
constexpr fs::perms kInputBits = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;

class OutputPublishingTest : public OneRuleTest {
 protected:
  OutputPublishingTest() : OneRuleTest(L"Проба") {}

  // Fresh folders for one case.
  void Folders(const std::string& tag) {
    in_ = root_.Dir(tag + "-in");
    out_ = root_.Dir(tag + "-out");
    err_ = root_.Dir(tag + "-err");
    Rule().pathIn = Wide(in_.string());
    Rule().pathOut = Wide(out_.string());
    Rule().pathError = Wide(err_.string());
    Rule().pathOut2.Empty();
  }
  // What lies in a folder under names other than temporary ones.
  static std::vector<std::string> Published(const fs::path& folder) {
    std::vector<std::string> names;
    for (const std::string& name : Tree(folder))
      if (!IsStagedOutputName(Wide(fs::path(name).filename().string()))) names.push_back(name);
    return names;
  }
  static size_t Temporary(const fs::path& folder) { return Tree(folder).size() - Published(folder).size(); }
};

// Takes a name (a file holding "theirs") as soon as a temporary output
// appears in its folder, that is while the output is being written.
class NameTaker {
 public:
  explicit NameTaker(const fs::path& name) : name_(name) {
    watch_ = inotify_init1(IN_CLOEXEC);
    EXPECT_GE(inotify_add_watch(watch_, name.parent_path().c_str(), IN_CREATE), 0);
    EXPECT_EQ(pipe(stop_), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~NameTaker() {
    if (write(stop_[1], "x", 1) != 1) ADD_FAILURE() << "the name taker cannot be stopped";
    thread_.join();
    for (int fd : {watch_, stop_[0], stop_[1]}) close(fd);
  }
  NameTaker(const NameTaker&) = delete;
  NameTaker& operator=(const NameTaker&) = delete;
  // True once the name was taken before the output could be published.
  bool Took() const { return took_; }

 private:
  void Run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd fds[] = {{watch_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) return;
      const ssize_t got = read(watch_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const std::string created = event->len > 0 ? event->name : "";
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (created.size() < 5 || created.substr(created.size() - 5) != ".part") continue;
        const int fd = open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) return;  // published first: this try is lost
        took_ = write(fd, "theirs", 6) == 6;
        close(fd);
        return;
      }
    }
  }

  fs::path name_;
  int watch_ = -1;
  int stop_[2] = {-1, -1};
  std::atomic<bool> took_{false};
  std::thread thread_;
};

TEST_F(OutputPublishingTest, AKilledWriterLeavesNoOutputUnderItsNameAndTheNextRunsRecover) {
  testsupport::ShmFolder shm;
  const bool otherFileSystem = shm.OnAnotherFileSystemThan(root_.path());
  const std::string data = Bytes(4 * kWriteLimit);
  std::int64_t wait = 0;
  struct Case {
    const char* what;
    std::function<void()> setup;
    std::function<DWORD()> run;
    std::function<std::vector<fs::path>()> outputFolders;
    std::vector<std::string> outputs;  // what each output folder holds in the end
  };
  const Case cases[] = {
      {"UNPK",
       [&] {
         const fs::path work = root_.Dir("unpk-work");
         WriteBytes(work / "big.bin", data);
         ASSERT_EQ(Tool(work, {"zip", "-q", "-0", "a.zip", "big.bin"}).exitCode, 0);
         fs::rename(work / "a.zip", in_ / "a.zip");
       },
       [&] { return UnpackArchives(Call(Names(Tree(in_)))); },
       [&] { return std::vector<fs::path>{out_}; },
       {"big.bin"}},
      {"PACK",
       [&] {
         Rule().archName = L"batch";
         Put("x", data);
       },
       [&] { return PackFiles(Call(Names(Tree(in_))), {.archExt = L"zip", .waitStart = &wait}); },
       [&] { return std::vector<fs::path>{out_}; },
       {"batch.zip"}},
      {"MOVE with a copy",
       [&] {
         Rule().pathOut2 = Wide(root_.Dir("move-copy").string());
         Put("m.bin", data);
       },
       [&] { return MoveFiles(Call(Names(Tree(in_)))); },
       [&] { return std::vector<fs::path>{out_, Utf8(Rule().pathOut2)}; },
       {"m.bin"}},
      {"MOVE to another file system",
       [&] {
         Rule().pathOut = Wide(shm.path().string());
         Put("m.bin", data);
       },
       [&] { return MoveFiles(Call(Names(Tree(in_)))); },
       [&] { return std::vector<fs::path>{shm.path()}; },
       {"m.bin"}},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (std::string(c.what) == "MOVE to another file system" && !otherFileSystem) continue;  // no second file system here
    Folders("case" + std::to_string(tag++));
    c.setup();
    for (const std::string& name : Tree(in_)) fs::permissions(in_ / name, kInputBits);
    ASSERT_EQ(testsupport::RunKilledMidWrite(kWriteLimit, [&] { c.run(); }), SIGKILL);
    size_t temporary = 0;
    for (const fs::path& folder : c.outputFolders()) {
      EXPECT_EQ(Published(folder), std::vector<std::string>{}) << folder;
      temporary += Temporary(folder);
      // What was being written is its owner's alone.
      for (const std::string& name : Tree(folder)) {
        if (name.size() > 5 && name.substr(name.size() - 5) == ".part") {
          EXPECT_EQ(fs::status(folder / name).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
        }
      }
    }
    EXPECT_GT(temporary, 0u);
    EXPECT_FALSE(Tree(in_).empty());
    EXPECT_EQ(Tree(err_), std::vector<std::string>{});

    // A claim of the killed process is taken back by one run and the input
    // processed by the next; a move needs no claim.
    for (int run = 0; run < 2 && !Tree(in_).empty(); ++run) ASSERT_EQ(c.run(), 0u);
    EXPECT_EQ(Tree(in_), std::vector<std::string>{});
    EXPECT_EQ(Tree(err_), std::vector<std::string>{});
    for (const fs::path& folder : c.outputFolders()) {
      EXPECT_EQ(Tree(folder), c.outputs) << folder;
      EXPECT_EQ(fs::status(folder / c.outputs[0]).permissions(), kInputBits) << "published with its input's bits";
      if (std::string(c.what) == "PACK") {
        const auto unpacked = Tool(folder, {"unzip", "-p", c.outputs[0], "x"});
        EXPECT_EQ(unpacked.exitCode, 0);
        EXPECT_TRUE(unpacked.output == data);
      } else {
        EXPECT_EQ(Read(folder / c.outputs[0]), data);
      }
    }
    EXPECT_TRUE(Contains(Errors(), "Ошибка ORLAX 0xE1718025 - Временный файл '")) << Errors();
  }
}

TEST_F(OutputPublishingTest, ANameTakenWhileTheOutputIsWrittenGoesThroughTheConflictRules) {
  // Large enough for the name to be taken well before the output is done.
  const std::string data = Bytes(32 << 20);
  const std::string packed = Bytes(2 << 20, 5);
  std::int64_t wait = 0;
  struct Case {
    const char* what;
    int renameConfFiles;
    std::function<void()> setup;
    std::function<DWORD()> run;
    std::function<fs::path()> taken;  // the name taken meanwhile
    const char* stem;                 // of the outputs, before any mark
    const char* rest;
  };
  auto unpk = [&] {
    const fs::path work = root_.Dir("publish-work");
    WriteBytes(work / "big.bin", data);
    ASSERT_EQ(Tool(work, {"zip", "-q", "-0", "a.zip", "big.bin"}).exitCode, 0);
    fs::rename(work / "a.zip", in_ / "a.zip");
    fs::remove_all(work);
  };
  auto pack = [&] {
    Rule().archName = L"batch";
    Put("x", packed);
  };
  auto move = [&] {
    Rule().pathOut2 = Wide(root_.Dir("copy" + Utf8(Rule().pathIn).substr(Utf8(Rule().pathIn).size() - 4)).string());
    Put("m.bin", data);
  };
  auto runUnpk = [&] { return UnpackArchives(Call(Names(Tree(in_)))); };
  auto runPack = [&] { return PackFiles(Call(Names(Tree(in_))), {.archExt = L"zip", .waitStart = &wait}); };
  auto runMove = [&] { return MoveFiles(Call(Names(Tree(in_)))); };
  const Case cases[] = {
      {"UNPK, no renaming", 0, unpk, runUnpk, [&] { return out_ / "big.bin"; }, "big", ".bin"},
      {"UNPK, renaming", 1, unpk, runUnpk, [&] { return out_ / "big.bin"; }, "big", ".bin"},
      {"PACK, no renaming", 0, pack, runPack, [&] { return out_ / "batch.zip"; }, "batch", ".zip"},
      {"PACK, renaming", 1, pack, runPack, [&] { return out_ / "batch.zip"; }, "batch", ".zip"},
      {"MOVE's copy, no renaming", 0, move, runMove, [&] { return Utf8(Rule().pathOut2) + "/m.bin"; }, "m", ".bin"},
      {"MOVE's copy, renaming", 1, move, runMove, [&] { return Utf8(Rule().pathOut2) + "/m.bin"; }, "m", ".bin"},
  };
  int tag = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    profile_.renameConfFiles = c.renameConfFiles;
    // The name is taken on an event, not after a wait: a try in which the
    // output was published first (a very loaded machine) is made again.
    bool took = false;
    for (int attempt = 0; attempt < 5 && !took; ++attempt) {
      Folders("taken" + std::to_string(tag++));
      c.setup();
      NameTaker taker(c.taken());
      ASSERT_EQ(c.run(), 0u);
      took = taker.Took();
    }
    ASSERT_TRUE(took) << "every output was published before its name could be taken";
    const fs::path taken = c.taken();
    const fs::path folder = taken.parent_path();
    EXPECT_EQ(Read(taken), "theirs");
    std::vector<fs::path> folders{out_};
    if (folder != out_) folders.push_back(folder);
    for (const fs::path& f : folders) EXPECT_EQ(Temporary(f), 0u) << f;
    if (c.renameConfFiles == 0) {
      // Nothing of ours is published; the input fails as for a name taken
      // before (PACK gives its inputs back), with the taken name recorded.
      for (const fs::path& f : folders) EXPECT_EQ(Tree(f), f == folder ? std::vector<std::string>{taken.filename().string()} : std::vector<std::string>{}) << f;
      const bool packing = std::string(c.what).rfind("PACK", 0) == 0;
      EXPECT_EQ(Tree(packing ? in_ : err_).size(), 1u);
      EXPECT_TRUE(Contains(Errors(), packing || std::string(c.what).rfind("UNPK", 0) == 0
                                         ? "Создание файла " + taken.string()
                                         : "Копирование файла '"))
          << Errors();
      continue;
    }
    // Ours is published under the stem with a conflict mark.
    std::vector<std::string> ours;
    for (const std::string& name : Tree(folder))
      if (name != taken.filename().string()) ours.push_back(name);
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(ours[0].rfind(std::string(c.stem) + "~", 0), 0u) << ours[0];
    EXPECT_EQ(ours[0].substr(ours[0].size() - std::string(c.rest).size()), c.rest) << ours[0];
    EXPECT_EQ(Tree(in_), std::vector<std::string>{});
    EXPECT_EQ(Tree(err_), std::vector<std::string>{});
    if (std::string(c.what).rfind("MOVE", 0) == 0) {
      // The move takes the copy's mark.
      EXPECT_EQ(Tree(out_), std::vector<std::string>{ours[0]});
      EXPECT_TRUE(Read(out_ / ours[0]) == data);
    }
    if (std::string(c.what).rfind("UNPK", 0) == 0) {
      EXPECT_TRUE(Read(folder / ours[0]) == data);
    }
  }
}

}  // namespace
}  // namespace fileops
