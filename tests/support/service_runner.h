#pragma once
// End-to-end helpers: a service profile written into the (temporary) machine
// registry, and the real mirelservice program run on it. Used with a
// TempRoot, so the program and the test share one private store.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Values under HKLM\SOFTWARE\TORVAK\qelmservice, written with the registry
// calls (wide names and texts as UTF-8 here).
class ProfileWriter {
 public:
  explicit ProfileWriter(std::string profile) : profile_(std::move(profile)) {}

  // Base key values.
  void BaseText(const std::string& name, const std::string& value);
  void BaseDword(const std::string& name, unsigned value);
  void BaseList(const std::string& name, const std::vector<std::string>& values);
  // Profile key values (the key exists once any value is written, or Create).
  void Create();
  void Text(const std::string& name, const std::string& value);
  void Dword(const std::string& name, unsigned value);
  void List(const std::string& name, const std::vector<std::string>& values);
  // Rule key values: rules\<rule>.
  void RuleText(const std::string& rule, const std::string& name, const std::string& value);
  void RuleDword(const std::string& rule, const std::string& name, unsigned value);
  // A signer list below a rule.
  void SignerList(const std::string& rule, const std::string& list, const std::vector<std::string>& signers);

  // The usual rule: operation, folders, one mask, on, directory profile.
  void Rule(const std::string& rule, const std::string& operation, const std::filesystem::path& in,
            const std::filesystem::path& out, const std::filesystem::path& error,
            const std::string& mask = "*.*", const std::string& zcsProfile = "",
            const std::filesystem::path& pse = {}, const std::filesystem::path& local = {});

  const std::string& profile() const { return profile_; }

 private:
  std::string Key(const std::string& sub) const;
  std::string profile_;
};

struct ProgramResult {
  int exitCode = -1;
  std::string output;  // standard output and error together
};

// Runs a program with arguments (no shell), waiting for it to end; the
// environment is the test process's own (TempRoot's variables included).
ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnvironment = {});

// mirelservice from the build folder.
ProgramResult RunMirelservice(const std::vector<std::string>& args,
                              const std::vector<std::string>& extraEnvironment = {});

// Appends assignments ("NAME=value") to the "Environment" of an installed
// service's entry in the service database, as an administrator configures
// what the service starts with: the starter's own environment never reaches
// a service.
void AddServiceEnvironment(const std::string& service, const std::vector<std::string>& assignments);

// All journal files of a folder, concatenated in name order.
std::string ReadJournals(const std::filesystem::path& folder);

// Waits (polling) until predicate holds or the time is up; returns whether it
// held. For watching a separate service process, which has no event of ours.
bool WaitUntil(const std::function<bool()>& predicate,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace testsupport
