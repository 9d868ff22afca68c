// Once and only once across a kill: a process killed at each moment
// between publishing a file's outputs (or its copy in the error folder) and
// deleting its input, and the next run's take-back that finishes the file
// or gives it back whole; and a stranger's file that a claim record would
// match by its index number alone.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/kill_points.h"
#include "service/core/claim_records.h"
#include "service/core/file_pipeline.h"
#include "service/core/path_names.h"
#include "tests/support/crash_child.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/shm_folder.h"
#include "tests/support/wide_text.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Utf8;
using testsupport::Wide;

std::vector<fs::path> ClaimRecords() {
  std::vector<fs::path> records;
  const CString folder = ClaimRecordFolder();
  if (folder.IsEmpty()) return records;
  for (const auto& entry : fs::directory_iterator(Utf8(folder))) records.push_back(entry.path());
  return records;
}

struct KillCase {
  const char* title;
  const char* killPoint;
  std::vector<std::string> inputs;  // written into the input folder
  bool pair = false;
  bool twoOutputs = false;
  bool failing = false;  // the work fails: the input goes to the error folder (another file system)
  // What the input, output and error folders hold after the take-back ...
  std::vector<std::string> inAfter;
  std::vector<std::string> outAfter;
  std::vector<std::string> errorAfter;
  const char* recordText;  // ... what its record says ...
  // ... and what the output and error folders hold once the files left
  // have been taken by the next run.
  std::vector<std::string> outAtLast;
  std::vector<std::string> errorAtLast;
};

class ClaimTakeBackTest : public testsupport::OneRuleTest {
 protected:
  // Each listed name through the case's gates, its work and CompleteFile
  // or FailFile, as an operation takes it.
  void RunOnce(const KillCase& c, const std::vector<std::string>& names) {
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    CString second;
    Gates gates;
    if (c.pair) {
      gates.claim = Gates::Claim::kPair;
      gates.pairExtension = L"p7d";
      gates.passOver = [](const PipelineFile& file) { return !PathFileExistsW(file.source); };
    }
    if (c.twoOutputs) {
      gates.outputs = Gates::Outputs::kOwn;
      gates.ownOutputs = [&](PipelineFile& file) {
        file.output = JoinPath(Rule().pathOut, file.name + L".one");
        second = JoinPath(Rule().pathOut, file.name + L".two");
        const StemOutput outputs[] = {{L".one", &file.output}, {L".two", &second}};
        return pipeline.ResolveStemOutputs(file, Rule().pathOut, file.name, outputs);
      };
    }
    for (const std::string& name : names) {
      PipelineFile file = pipeline.Prepare(Wide(name), Wide(name), L".out", nullptr);
      if (pipeline.Admit(file, gates) != Admission::kProceed) continue;
      WorkFailure failure;
      DWORD code = c.failing ? (failure.code = ERROR_INVALID_DATA) : 0;
      if (code == 0) code = CopyTo(file.pair ? file.DataClaimed() : file.claimed, file.output, failure);
      if (code == 0 && c.twoOutputs) code = CopyTo(file.claimed, second, failure);
      if (code != 0) {
        pipeline.FailFile(file, failure);
        continue;
      }
      pipeline.CompleteFile(file);
    }
  }

  static DWORD CopyTo(const CString& from, const CString& to, WorkFailure& failure) {
    return CopyFileW(from, to, TRUE) ? 0 : (failure.code = GetLastError());
  }
};

// A kill after publishing and before deleting: the take-back finds all of
// it published whole and finishes the file (deletes its inputs) with a
// record in place of doing it again; a kill between a file's two outputs:
// the one published is withdrawn and the file is done again as a whole.
// Either way every file ends in exactly one place.
TEST_F(ClaimTakeBackTest, AKillBetweenPublishingAndDeletingLeavesEveryFileInOnePlace) {
  testsupport::ShmFolder shm;
  const bool twoFileSystems = shm.OnAnotherFileSystemThan(root_.path());
  const KillCase cases[] = {
      {"one output", "outputs-published", {"a.txt"}, false, false, false, {}, {"a.txt.out"}, {},
       "' остался от прерванной обработки, результат которой уже опубликован ('", {"a.txt.out"}, {}},
      {"a pair", "outputs-published", {"d.txt", "d.txt.p7d"}, true, false, false, {}, {"d.txt.out"}, {},
       "' остался от прерванной обработки, результат которой уже опубликован ('", {"d.txt.out"}, {}},
      {"two outputs, killed between them", "output-published:1", {"b.txt"}, false, true, false, {"b.txt"}, {}, {},
       "' остался от прерванной обработки; опубликованная часть результата ('", {"b.txt.one", "b.txt.two"}, {}},
      {"the error folder's copy", "copy-published", {"e.bin"}, false, false, true, {}, {}, {"e.bin"},
       "' остался от прерванной обработки, результат которой уже опубликован ('", {}, {"e.bin"}},
  };
  int round = 0;
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.title);
    if (c.failing && !twoFileSystems) continue;  // the error folder would take the file by a rename
    // Folders of its own for each case: a run takes claims back once per
    // folder.
    ++round;
    in_ = root_.Dir("in" + std::to_string(round));
    out_ = root_.Dir("out" + std::to_string(round));
    err_ = root_.Dir("err" + std::to_string(round));
    const fs::path errorFolder = c.failing ? shm.path() / std::to_string(round) : err_;
    fs::create_directories(errorFolder);
    Rule().pathIn = Wide(in_);
    Rule().pathOut = Wide(out_);
    Rule().pathError = Wide(errorFolder);
    for (const std::string& name : c.inputs) Put(in_, name, "content of " + name);

    ASSERT_EQ(testsupport::RunKilledAt(c.killPoint, [&] { RunOnce(c, c.inputs); }), SIGKILL);
    ASSERT_EQ(ClaimRecords().size(), c.pair ? 2u : 1u);
    { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
    EXPECT_EQ(Listing(in_), c.inAfter);
    EXPECT_EQ(Listing(out_), c.outAfter);
    EXPECT_EQ(Listing(errorFolder), c.errorAfter);
    EXPECT_TRUE(ClaimRecords().empty());
    EXPECT_NE(Errors().find(c.recordText), std::string::npos) << Errors();

    RunOnce(c, Listing(in_));
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_EQ(Listing(out_), c.outAtLast);
    EXPECT_EQ(Listing(errorFolder), c.errorAtLast);
    for (const std::string& name : c.outAtLast) {
      const std::string input = name.substr(0, name.find(".txt") + 4);
      EXPECT_EQ(testsupport::ReadFileBytes(out_ / name), "content of " + input) << name;
    }
    EXPECT_TRUE(ClaimRecords().empty());
  }
}

// A file whose outputs were all published is done, even when somebody took
// its output away before the killed process deleted its input: the
// take-back deletes the input with the record, and nothing is done twice.
TEST_F(ClaimTakeBackTest, AFilePublishedWholeIsFinishedAlsoWhenItsOutputWasTakenAway) {
  const KillCase c{"one output", "outputs-published", {"a.txt"}, false, false, false, {}, {}, {}, "", {}, {}};
  Put(in_, "a.txt", "content of a.txt");
  ASSERT_EQ(testsupport::RunKilledAt(c.killPoint, [&] { RunOnce(c, c.inputs); }), SIGKILL);
  ASSERT_TRUE(fs::remove(out_ / "a.txt.out"));
  { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_TRUE(ClaimRecords().empty());
  EXPECT_NE(Errors().find("' остался от прерванной обработки, результат которой уже опубликован ('"),
            std::string::npos)
      << Errors();
}

// A publishing that its claim record cannot announce (the record could not
// be written: here it is gone) publishes nothing: a take-back after a kill
// would not know the outputs for the file's. The file fails to the error
// folder whole instead.
TEST_F(ClaimTakeBackTest, OutputsTheRecordCannotNoteAreNotPublished) {
  Put(in_, "a.txt", "content of a.txt");
  FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
  PipelineFile file = pipeline.Prepare(L"a.txt", L"a.txt", L".out", nullptr);
  ASSERT_EQ(pipeline.Admit(file, Gates{}), Admission::kProceed);
  WorkFailure failure;
  ASSERT_EQ(CopyTo(file.claimed, file.output, failure), 0u);
  const std::vector<fs::path> records = ClaimRecords();
  ASSERT_EQ(records.size(), 1u);
  ASSERT_TRUE(fs::remove(records[0]));
  EXPECT_EQ(pipeline.CompleteFile(file), 0u);  // a failed file, no fatal result
  pipeline.DeletePendingInputs();
  EXPECT_EQ(Listing(out_), std::vector<std::string>{});
  EXPECT_EQ(Listing(in_), std::vector<std::string>{});
  EXPECT_EQ(Listing(err_), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(testsupport::ReadFileBytes(err_ / "a.txt"), "content of a.txt");
  EXPECT_NE(Errors().find("a.txt.out"), std::string::npos) << Errors();
}

// The outputs wait for the batch: their inputs go once they are on disk,
// at the latest when the pipeline goes; a kill before that is a kill before
// the deletion, which the take-back finishes.
TEST_F(ClaimTakeBackTest, InputsOfCompletedFilesGoWithTheirBatch) {
  Put(in_, "a.txt", "a");
  Put(in_, "b.txt", "b");
  {
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    for (const char* name : {"a.txt", "b.txt"}) {
      PipelineFile file = pipeline.Prepare(Wide(name), Wide(name), L".out", nullptr);
      ASSERT_EQ(pipeline.Admit(file, Gates{}), Admission::kProceed);
      WorkFailure failure;
      ASSERT_EQ(CopyTo(file.claimed, file.output, failure), 0u);
      ASSERT_EQ(pipeline.CompleteFile(file), 0u);
    }
    EXPECT_EQ(Listing(in_), (std::vector<std::string>{"a.txt.stp", "b.txt.stp"}));
    EXPECT_EQ(ClaimRecords().size(), 2u);
    pipeline.DeletePendingInputs();
    EXPECT_EQ(Listing(in_), std::vector<std::string>{});
    EXPECT_TRUE(ClaimRecords().empty());
  }
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"a.txt.out", "b.txt.out"}));
}

// A claim is known by its file's birth time too: a user who deletes a
// killed instance's claimed file and writes their own under that name, on
// the index number the file system gave the old one, keeps it untouched.
TEST_F(ClaimTakeBackTest, AStrangersFileOnARecycledIndexIsNotTakenBack) {
  Put(in_, "x.bin", "claimed");
  ASSERT_EQ(testsupport::RunKilledAt("outputs-published", [&] {
              FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
              PipelineFile file = pipeline.Prepare(L"x.bin", L"x.bin", L".out", nullptr);
              if (!pipeline.ClaimInputFile(file)) return;
              platform::KillPoint("outputs-published");
            }),
            SIGKILL);
  const fs::path claimed = in_ / "x.bin.stp";
  ASSERT_TRUE(fs::exists(claimed));
  platform::FileIdentity old;
  ASSERT_TRUE(platform::GetFileIdentityAt(Wide(claimed.string()), &old));
  if (old.birth == 0 && old.tag == 0) GTEST_SKIP() << "the file system keeps no birth time and takes no tag";
  fs::remove(claimed);
  Put(in_, "x.bin.stp", "a user's own file");
  // The file system may give the new file the old index number or another:
  // the record is made to name the new one's, as a recycled index would.
  struct stat now {};
  ASSERT_EQ(stat(claimed.c_str(), &now), 0);
  const std::vector<fs::path> records = ClaimRecords();
  ASSERT_EQ(records.size(), 1u);
  {
    std::fstream record(records[0], std::ios::in | std::ios::out | std::ios::binary);
    const unsigned long long device = now.st_dev, index = now.st_ino;
    record.seekp(4);  // past the record's tag: the device and index numbers
    record.write(reinterpret_cast<const char*>(&device), sizeof device);
    record.write(reinterpret_cast<const char*>(&index), sizeof index);
  }
  { FilePipeline first(Journal(), profile_, worker_, L"P", 0); }
  EXPECT_EQ(testsupport::ReadFileBytes(claimed), "a user's own file");
  EXPECT_EQ(Listing(in_), std::vector<std::string>{"x.bin.stp"});
  EXPECT_TRUE(ClaimRecords().empty());
  EXPECT_EQ(Errors(), "");
}

}  // namespace
