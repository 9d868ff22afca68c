#include "tests/support/service_profile.h"

#include <stdexcept>

#include "platform/registry.h"
#include "platform/utf16.h"

namespace testsupport {
namespace {

constexpr char kBaseKey[] = "SOFTWARE\\TORVAK\\qelmservice";

class Key {
 public:
  explicit Key(const std::string& path) {
    std::wstring wide = platform::Utf8ToWide(path);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS)
      throw std::runtime_error("cannot create key " + path);
  }
  ~Key() { RegCloseKey(key_); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  void Set(const std::string& name, DWORD type, const std::string& bytes) {
    std::wstring wide = platform::Utf8ToWide(name);
    if (RegSetValueExW(key_, wide.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS)
      throw std::runtime_error("cannot set value " + name);
  }

 private:
  HKEY key_ = nullptr;
};

std::string SzBytes(const std::string& text) {
  std::string bytes = platform::WideToUtf16Le(platform::Utf8ToWide(text));
  bytes.append(2, '\0');
  return bytes;
}

}  // namespace

std::string MultiSzBytes(const std::vector<std::string>& values) {
  std::string bytes;
  for (const std::string& v : values) bytes += SzBytes(v);
  bytes.append(2, '\0');
  return bytes;
}

namespace {

std::string DwordBytes(unsigned value) {
  DWORD v = value;
  return std::string(reinterpret_cast<const char*>(&v), sizeof(v));
}

}  // namespace

std::string ProfileWriter::Key(const std::string& sub) const {
  std::string key = std::string(kBaseKey) + "\\" + profile_;
  if (!sub.empty()) key += "\\" + sub;
  return key;
}

ProfileWriter& ProfileWriter::BaseText(const std::string& name, const std::string& value) {
  testsupport::Key(kBaseKey).Set(name, REG_SZ, SzBytes(value));
  return *this;
}
ProfileWriter& ProfileWriter::BaseDword(const std::string& name, unsigned value) {
  testsupport::Key(kBaseKey).Set(name, REG_DWORD, DwordBytes(value));
  return *this;
}
ProfileWriter& ProfileWriter::BaseList(const std::string& name, const std::vector<std::string>& values) {
  testsupport::Key(kBaseKey).Set(name, REG_MULTI_SZ, MultiSzBytes(values));
  return *this;
}
ProfileWriter& ProfileWriter::Create() {
  testsupport::Key key(Key("rules"));
  return *this;
}
ProfileWriter& ProfileWriter::Text(const std::string& name, const std::string& value) {
  testsupport::Key(Key("")).Set(name, REG_SZ, SzBytes(value));
  return *this;
}
ProfileWriter& ProfileWriter::Dword(const std::string& name, unsigned value) {
  testsupport::Key(Key("")).Set(name, REG_DWORD, DwordBytes(value));
  return *this;
}
ProfileWriter& ProfileWriter::List(const std::string& name, const std::vector<std::string>& values) {
  testsupport::Key(Key("")).Set(name, REG_MULTI_SZ, MultiSzBytes(values));
  return *this;
}
void ProfileWriter::RuleText(const std::string& rule, const std::string& name, const std::string& value) {
  testsupport::Key(Key("rules\\" + rule)).Set(name, REG_SZ, SzBytes(value));
}
void ProfileWriter::RuleDword(const std::string& rule, const std::string& name, unsigned value) {
  testsupport::Key(Key("rules\\" + rule)).Set(name, REG_DWORD, DwordBytes(value));
}
void ProfileWriter::SignerList(const std::string& rule, const std::string& list,
                               const std::vector<std::string>& signers) {
  testsupport::Key key(Key("rules\\" + rule + "\\" + list));
  key.Set("Signer Num", REG_DWORD, DwordBytes(static_cast<unsigned>(signers.size())));
  for (size_t i = 0; i < signers.size(); ++i) key.Set("S" + std::to_string(i), REG_SZ, SzBytes(signers[i]));
}

RuleWriter ProfileWriter::Rule(const std::string& rule, const std::string& operation,
                               const std::filesystem::path& in, const std::filesystem::path& out,
                               const std::filesystem::path& error, const std::string& mask,
                               const std::string& zcsProfile, const std::filesystem::path& pse,
                               const std::filesystem::path& local) {
  RuleText(rule, "Operation", operation);
  RuleText(rule, "Path In", in.string());
  RuleText(rule, "Path Out", out.string());
  RuleText(rule, "Path Error", error.string());
  RuleText(rule, "Mask", mask);
  RuleDword(rule, "Is on", 1);
  if (!zcsProfile.empty()) RuleText(rule, "ZCSProfile", zcsProfile);
  if (!pse.empty()) RuleText(rule, "PSE", pse.string());
  if (!local.empty()) RuleText(rule, "LOCAL", local.string());
  return RuleWriter(*this, rule);
}

ProfileWriter& ProfileWriter::LogPath(const std::filesystem::path& folder) {
  BaseText("LogPath", folder.string());
  return *this;
}
ProfileWriter& ProfileWriter::ZipExtension(const std::string& extension) {
  BaseText("ZIPArchiveExt", extension);
  return *this;
}
ProfileWriter& ProfileWriter::GzipExtension(const std::string& extension) {
  BaseText("GZIPArchiveExt", extension);
  return *this;
}
ProfileWriter& ProfileWriter::SignatureExtension(const std::string& extension) {
  BaseText("SigExt", extension);
  return *this;
}
ProfileWriter& ProfileWriter::DetachedSignatureExtension(const std::string& extension) {
  BaseText("DsigExt", extension);
  return *this;
}
ProfileWriter& ProfileWriter::ReportExtension(const std::string& extension) {
  BaseText("VerifyFileExt", extension);
  return *this;
}
ProfileWriter& ProfileWriter::HandlerTimeout(unsigned seconds) {
  Dword("Handler timeout", seconds);
  return *this;
}
ProfileWriter& ProfileWriter::DirectoryProfiles(const std::vector<std::string>& names, bool loadRevocationLists) {
  List("ZCSProfile", names);
  List("NotLoadCrl", std::vector<std::string>(names.size(), loadRevocationLists ? "0" : "1"));
  return *this;
}
ProfileWriter& ProfileWriter::NotCopyToLocal(std::size_t count) {
  List("NotCopyToLocal", std::vector<std::string>(count, "1"));
  return *this;
}
ProfileWriter& ProfileWriter::TimeStamps(const std::vector<std::string>& servers,
                                         const std::vector<std::string>& autoUse,
                                         const std::vector<std::string>& autoVerify) {
  List("ServerTSP", servers);
  List("AutoUseTSP", autoUse);
  if (!autoVerify.empty()) List("AutoVerifyTSP", autoVerify);
  return *this;
}
ProfileWriter& ProfileWriter::Usual(const std::filesystem::path& logs,
                                    const std::vector<std::string>& directoryProfiles) {
  return LogPath(logs).Create().HandlerTimeout(1).DirectoryProfiles(directoryProfiles);
}

RuleWriter& RuleWriter::Text(const std::string& value, const std::string& text) {
  profile_->RuleText(name_, value, text);
  return *this;
}
RuleWriter& RuleWriter::Dword(const std::string& value, unsigned number) {
  profile_->RuleDword(name_, value, number);
  return *this;
}
RuleWriter& RuleWriter::Description(const std::string& text) { return Text("Descryption", text); }
RuleWriter& RuleWriter::Recipients(const std::vector<std::string>& subjects) {
  Dword("Ext num", static_cast<unsigned>(subjects.size()));
  for (std::size_t i = 0; i < subjects.size(); ++i) Text("C" + std::to_string(i), subjects[i]);
  return *this;
}
RuleWriter& RuleWriter::EncryptionAlgorithm(unsigned algorithm) { return Dword("Enc algorythm", algorithm); }
RuleWriter& RuleWriter::StreamMode() { return Dword("Stream", 1); }
RuleWriter& RuleWriter::Archive(unsigned kind) { return Dword("ZipFile", kind); }
RuleWriter& RuleWriter::Batch(const std::string& name, unsigned count) {
  return Dword("ArchCount", count).Text("ArchName", name);
}
RuleWriter& RuleWriter::BatchTimeout(unsigned minutes) { return Dword("ArchTimeout", minutes); }
RuleWriter& RuleWriter::Program(const std::string& command) { return Text("ExecName", command); }
RuleWriter& RuleWriter::OutputFolder(const std::filesystem::path& folder) { return Text("Path Out", folder.string()); }
RuleWriter& RuleWriter::CopyFolder(const std::filesystem::path& folder) { return Text("Path Out 2", folder.string()); }
RuleWriter& RuleWriter::Signers(const std::string& list, const std::vector<std::string>& subjects) {
  profile_->SignerList(name_, list, subjects);
  return *this;
}

}  // namespace testsupport
