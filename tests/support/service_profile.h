#pragma once
// A service profile as the end-to-end tests give it to the real service:
// values under HKLM\SOFTWARE\TORVAK\qelmservice in the (temporary) machine
// registry, written with the registry calls (wide names and texts as UTF-8
// here). The values the tests set again and again have named setters; the
// raw ones stay for values a single test sets. Used with a TempRoot, so the
// program and the test share one private store.

#include <cstddef>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ProfileWriter;

// One rule's key, rules\<name>, of a ProfileWriter; each setter writes at
// once and returns the rule for the next one.
class RuleWriter {
 public:
  RuleWriter(ProfileWriter& profile, std::string name) : profile_(&profile), name_(std::move(name)) {}

  RuleWriter& Description(const std::string& text);  // "Descryption"
  // The recipients' certificate subjects: "Ext num" and "C0", "C1", ...
  RuleWriter& Recipients(const std::vector<std::string>& subjects);
  RuleWriter& EncryptionAlgorithm(unsigned algorithm);  // "Enc algorythm", 0..4
  RuleWriter& StreamMode();                              // "Stream" 1
  RuleWriter& Archive(unsigned kind);                    // "ZipFile": 1 ZIP, 2 GZIP
  // PACK: "ArchName" and the file count that makes a batch, "ArchCount".
  RuleWriter& Batch(const std::string& name, unsigned count);
  RuleWriter& BatchTimeout(unsigned minutes);            // "ArchTimeout"
  RuleWriter& Program(const std::string& command);       // "ExecName"
  RuleWriter& OutputFolder(const std::filesystem::path& folder);  // "Path Out"
  RuleWriter& CopyFolder(const std::filesystem::path& folder);    // "Path Out 2"
  // A signer list below the rule: "Signer Num" and "S0", "S1", ...
  RuleWriter& Signers(const std::string& list, const std::vector<std::string>& subjects);

  RuleWriter& Text(const std::string& value, const std::string& text);
  RuleWriter& Dword(const std::string& value, unsigned number);

 private:
  ProfileWriter* profile_;
  std::string name_;
};

class ProfileWriter {
 public:
  explicit ProfileWriter(std::string profile) : profile_(std::move(profile)) {}

  const std::string& profile() const { return profile_; }

  // Values of the base key, shared by every profile.
  ProfileWriter& LogPath(const std::filesystem::path& folder);  // "LogPath"
  ProfileWriter& ZipExtension(const std::string& extension);    // "ZIPArchiveExt"
  ProfileWriter& GzipExtension(const std::string& extension);   // "GZIPArchiveExt"
  ProfileWriter& SignatureExtension(const std::string& extension);          // "SigExt"
  ProfileWriter& DetachedSignatureExtension(const std::string& extension);  // "DsigExt"
  ProfileWriter& ReportExtension(const std::string& extension);             // "VerifyFileExt"

  // Values of the profile's key (which exists once any is written, or Create).
  ProfileWriter& Create();
  ProfileWriter& HandlerTimeout(unsigned seconds);  // "Handler timeout": the pause between cycles
  // The directory profiles, "ZCSProfile", each loading no revocation lists
  // ("NotLoadCrl" 1) unless asked to.
  ProfileWriter& DirectoryProfiles(const std::vector<std::string>& names, bool loadRevocationLists = false);
  // Per directory profile: "NotCopyToLocal" 1 for each.
  ProfileWriter& NotCopyToLocal(std::size_t count);
  // Per directory profile: "ServerTSP", "AutoUseTSP" and, when given,
  // "AutoVerifyTSP".
  ProfileWriter& TimeStamps(const std::vector<std::string>& servers, const std::vector<std::string>& autoUse,
                            const std::vector<std::string>& autoVerify = {});

  // The profile of most end-to-end tests: journals in `logs`, a cycle every
  // second, the directory profiles named, no revocation lists loaded.
  ProfileWriter& Usual(const std::filesystem::path& logs, const std::vector<std::string>& directoryProfiles);

  // The usual rule: operation, folders, one mask, on, directory profile.
  RuleWriter Rule(const std::string& rule, const std::string& operation, const std::filesystem::path& in,
                  const std::filesystem::path& out, const std::filesystem::path& error,
                  const std::string& mask = "*.*", const std::string& zcsProfile = "",
                  const std::filesystem::path& pse = {}, const std::filesystem::path& local = {});
  // A rule written before, for more values.
  RuleWriter Rule(const std::string& rule) { return RuleWriter(*this, rule); }

  // Raw values, as named in the registry.
  ProfileWriter& BaseText(const std::string& name, const std::string& value);
  ProfileWriter& BaseDword(const std::string& name, unsigned value);
  ProfileWriter& BaseList(const std::string& name, const std::vector<std::string>& values);
  ProfileWriter& Text(const std::string& name, const std::string& value);
  ProfileWriter& Dword(const std::string& name, unsigned value);
  ProfileWriter& List(const std::string& name, const std::vector<std::string>& values);

 private:
  friend class RuleWriter;
  void RuleText(const std::string& rule, const std::string& name, const std::string& value);
  void RuleDword(const std::string& rule, const std::string& name, unsigned value);
  void SignerList(const std::string& rule, const std::string& list, const std::vector<std::string>& signers);
  std::string Key(const std::string& sub) const;
  std::string profile_;
};

// The bytes of a REG_MULTI_SZ value holding these texts.
std::string MultiSzBytes(const std::vector<std::string>& values);

}  // namespace testsupport
