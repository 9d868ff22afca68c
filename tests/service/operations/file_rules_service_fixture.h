#pragma once
// What the tests of file rules in the running service share: a private
// store and root, the first test user's directory profile ("Demo") copied
// below it, a service profile whose worker cycles every second without
// loading revocation lists, journals in "logs", and the instance stopped and
// deleted at the end.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/service_runner.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_pki.h"

namespace servicetest {

class FileRulesServiceTest : public ::testing::Test {
 protected:
  explicit FileRulesServiceTest(std::string profile) : profile_(std::move(profile)) {}

  void SetUp() override {
    pse_ = root_.Dir("pse");
    std::filesystem::copy_file(pki_.Key("user1"), pse_ / "key.pem");
    std::filesystem::copy_file(pki_.Cert("user1"), pse_ / "cert.pem");
    local_ = root_.Dir("local");
    for (const auto& entry : std::filesystem::directory_iterator(pki_.local))
      std::filesystem::copy_file(entry.path(), local_ / entry.path().filename());
    logs_ = root_.Dir("logs");
    WriteProfile(profile_);
  }
  // The values of a service profile of these tests (journals in "logs",
  // cycles of a second, the directory profile "Demo", no revocation lists).
  void WriteProfile(testsupport::ProfileWriter& profile) const { profile.Usual(logs_, {"Demo"}); }
  void TearDown() override {
    for (const std::string& profile : others_) {
      testsupport::RunMirelservice({"stop", profile});
      testsupport::RunMirelservice({"delete", profile});
    }
    testsupport::RunMirelservice({"stop", profile_.profile()});
    testsupport::RunMirelservice({"delete", profile_.profile()});
  }

  // A rule of the directory profile "Demo" with its folders below the root
  // (errors to "err"), for more values.
  testsupport::RuleWriter Rule(int n, const std::string& operation, const std::string& in, const std::string& out,
                               const std::string& mask = "*.*") {
    return Rule(profile_, n, operation, in, out, mask);
  }
  // The same in another service profile.
  testsupport::RuleWriter Rule(testsupport::ProfileWriter& profile, int n, const std::string& operation,
                               const std::string& in, const std::string& out, const std::string& mask = "*.*") {
    return profile.Rule("Rule " + std::to_string(n), operation, root_.Dir(in), root_.Dir(out), root_.Dir("err"),
                        mask, "Demo", pse_, local_);
  }
  // Installs and starts the instance; environment goes into the service's
  // entry, which is what the service starts with.
  void Start(const std::vector<std::string>& environment = {}) { StartProfile(profile_.profile(), environment); }
  // The same for another service profile (stopped and deleted at the end too).
  void StartProfile(const std::string& profile, const std::vector<std::string>& environment = {}) {
    if (profile != profile_.profile()) others_.push_back(profile);
    ASSERT_EQ(testsupport::RunMirelservice({"install", profile}).exitCode, 0);
    if (!environment.empty()) testsupport::AddServiceEnvironment("qelmservice-" + profile, environment);
    const auto started = testsupport::RunMirelservice({"start", profile});
    ASSERT_EQ(started.exitCode, 0) << started.output;
  }

  std::filesystem::path Path(const std::string& relative) const { return root_.path() / relative; }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(Path(relative)); }
  std::string Read(const std::string& relative) const { return testsupport::ReadFileBytes(Path(relative)); }
  void Write(const std::string& relative, const std::string& bytes) const {
    std::ofstream(Path(relative), std::ios::binary) << bytes;
  }

  const testsupport::TestPki& pki_ = testsupport::TestPki::Shared();
  testsupport::TempRoot root_;
  testsupport::ProfileWriter profile_;
  std::filesystem::path pse_, local_, logs_;
  std::vector<std::string> others_;  // other service profiles started
};

}  // namespace servicetest
