// A rule's folders held by the worker's folder check for the cycle, on
// folders an unprivileged user ("nobody") owns: the user's changes between
// two steps of a file (the test acts between the pipeline's steps) never
// lead the service into root's folder or to root's file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "common/library_error_stack.h"
#include "common/qelm_api.h"
#include "platform/files.h"
#include "service/core/file_pipeline.h"
#include "service/core/worker_state.h"
#include "service/host/service_host.h"
#include "service/operations/base64_codec.h"
#include "service/operations/crypto_operation_support.h"
#include "tests/support/library_context.h"
#include "tests/support/one_rule_fixture.h"
#include "tests/support/test_pki.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Read;

constexpr uid_t kNobody = 65534;
constexpr const char* kGost256 = "1.2.643.7.1.1.2.2";

class HeldRuleFolders : public testsupport::OneRuleTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "another user's links are made as root (the tests run as root in CI)";
    OneRuleTest::SetUp();
    fs::permissions(root_.path(), fs::perms::owner_all);
    for (const fs::path& folder : {in_, out_, err_}) ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
    secret_ = root_.Dir("secret");
    fs::permissions(secret_, fs::perms::owner_all);
    testsupport::WriteBytes(secret_ / "key", "root's key");
    fs::permissions(secret_ / "key", fs::perms::owner_read | fs::perms::owner_write);
  }

  // The worker's check of the rule's folders, holding them in held.
  void CheckFolders(platform::HeldFolders& held) {
    int missing = 0;
    RuleState state;
    ASSERT_EQ(CheckRuleFolders(Journal(), &worker_.journalFiles, &Rule(), &state, 1, &missing, L"P", &held), 0u);
    ASSERT_EQ(missing, 0);
  }
  // Claims a listed name and settles its output, as B64E does.
  PipelineFile Admitted(FilePipeline& pipeline, const std::string& name) {
    PipelineFile file =
        pipeline.Prepare(testsupport::Wide(name), testsupport::Wide(name), L".b64",
                         [](const PipelineFile& f, const CString&, const CString&) { return f.source; });
    EXPECT_EQ(pipeline.Admit(file, Gates{}), Admission::kProceed);
    return file;
  }
  // What the user may do to a folder it owns: move it away and put its own
  // link to root's folder in its place.
  void ReplaceByUsersLink(const fs::path& folder, const fs::path& target) {
    fs::rename(folder, folder.string() + ".moved");
    fs::create_directory_symlink(target, folder);
    ASSERT_EQ(lchown(folder.c_str(), kNobody, kNobody), 0);
  }
  void ExpectSecretUntouched() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(secret_)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, std::set<std::string>{"key"});
    EXPECT_EQ(Read(secret_ / "key"), "root's key");
  }
  static WorkFailure WorkStepFailure(DWORD code) {
    WorkFailure failure;
    failure.code = code;
    failure.stageText = L"the work";
    return failure;
  }
  static fs::path Moved(const fs::path& folder) { return folder.string() + ".moved"; }

  fs::path secret_;
};

// Two files claimed, then every folder of the rule replaced by the user's
// link: the first is read, written, published and deleted, the second
// failed into the error folder, all in the folders as they were held.
TEST_F(HeldRuleFolders, FoldersReplacedBetweenTwoStepsOfAFileAreNeverFollowed) {
  Put("a.txt", "abc");
  Put("b.txt", "def");
  platform::HeldFolders held;
  CheckFolders(held);
  {
    // The pipeline deletes the inputs it completed when it goes, as in the
    // worker, while the folders are still held.
    FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
    PipelineFile a = Admitted(pipeline, "a.txt");
    PipelineFile b = Admitted(pipeline, "b.txt");
    for (const fs::path& folder : {in_, out_, err_}) ReplaceByUsersLink(folder, secret_);

    ASSERT_EQ(Base64File(LibraryPath(a.claimed), LibraryPath(a.output), 1), 0u);
    EXPECT_EQ(pipeline.CompleteFile(a), 0u);
    EXPECT_EQ(pipeline.FailFile(b, WorkStepFailure(ERROR_INVALID_DATA)), 0u);
  }

  ExpectSecretUntouched();
  EXPECT_EQ(Read(Moved(out_) / "a.txt.b64"), "YWJj");
  EXPECT_EQ(Read(Moved(err_) / "b.txt"), "def");
  EXPECT_TRUE(fs::is_empty(Moved(in_)));
}

// The claimed name given to a link to root's key (or to another file)
// after the claim: the library reads the claimed file through its claim,
// the service's own reading refuses the name, and the file fails, the link
// going to the error folder as a link; root's key is never read.
TEST_F(HeldRuleFolders, AClaimedNameSwappedForALinkIsNeverRead) {
  const testsupport::TestPki& pki = testsupport::TestPki::Shared();
  const fs::path pse = root_.Dir("pse");
  fs::copy_file(pki.Key("user1"), pse / "key.pem");
  fs::copy_file(pki.Cert("user1"), pse / "cert.pem");
  LibraryContext context = nullptr;
  ASSERT_EQ(testsupport::OpenLibraryContext(pse.string(), pki.local.string(), &context), 0u);
  auto digestOf = [&](const CString& path) {
    DataBlob digest{};
    EXPECT_EQ(ORLAX_StrHashFile(context, kGost256, LibraryPath(path), &digest), 0u);
    std::string bytes(reinterpret_cast<const char*>(digest.data), digest.length);
    ORLAX_FreeMem(context, digest.data);
    return bytes;
  };

  Put("a.txt", "abc");
  Put("b.txt", "def");
  const std::string ofA = digestOf(testsupport::Wide(in_ / "a.txt"));
  const std::string ofKey = digestOf(testsupport::Wide(secret_ / "key"));
  platform::HeldFolders held;
  CheckFolders(held);
  FilePipeline pipeline(Journal(), profile_, worker_, L"P", 0);
  PipelineFile a = Admitted(pipeline, "a.txt");
  PipelineFile b = Admitted(pipeline, "b.txt");

  fs::rename(in_ / "a.txt.stp", in_ / "a.kept");
  fs::create_symlink(secret_ / "key", in_ / "a.txt.stp");
  fs::rename(in_ / "b.txt.stp", in_ / "b.kept");
  testsupport::WriteBytes(in_ / "b.txt.stp", "another file");
  const std::string swapped = digestOf(a.claimed);
  EXPECT_EQ(swapped, ofA);
  EXPECT_NE(swapped, ofKey);
  // What the library says of the paths it was handed names them as configured.
  DataBlob none{};
  EXPECT_EQ(ORLAX_StrHashFile(context, kGost256, LibraryPath(testsupport::Wide(in_ / "missing")), &none),
            ORLAX_E_FILE_OPEN);
  const std::string stack = testsupport::Utf8(FormatLibraryErrorStack(context));
  EXPECT_TRUE(testsupport::Contains(stack, (in_ / "missing").string())) << stack;
  EXPECT_FALSE(testsupport::Contains(stack, "/proc/")) << stack;
  for (PipelineFile* file : {&a, &b}) {
    SCOPED_TRACE(testsupport::Utf8(file->name));
    EXPECT_FALSE(DeleteFileW(file->claimed));
    // The service's own reading by name.
    const DWORD read = Base64File(CStringA(file->claimed), LibraryPath(file->output), 1);
    EXPECT_TRUE(read == ERROR_CANT_RESOLVE_FILENAME || read == ERROR_FILE_INVALID) << read;
    EXPECT_EQ(pipeline.FailFile(*file, WorkStepFailure(read)), 0u);
  }
  ORLAX_Uninitialize(context);

  ExpectSecretUntouched();
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_EQ(fs::read_symlink(err_ / "a.txt"), secret_ / "key");
  EXPECT_EQ(Read(err_ / "b.txt"), "another file");
  EXPECT_EQ(Read(in_ / "a.kept"), "abc");
  EXPECT_TRUE(testsupport::Contains(Errors(), "the work")) << Errors();
}

}  // namespace
