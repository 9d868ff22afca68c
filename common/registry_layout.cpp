#include "common/registry_layout.h"

#include "common/registry_values.h"

namespace {

template <class>
struct MemberOf;
template <class Record, class Field>
struct MemberOf<Field Record::*> {
  using RecordType = Record;
  using FieldType = Field;
};

// The accessor of one record field, as a plain function the tables can hold.
template <auto Field>
typename MemberOf<decltype(Field)>::FieldType& FieldOf(typename MemberOf<decltype(Field)>::RecordType& record) {
  return record.*Field;
}

template <auto Field>
using RecordOf = typename MemberOf<decltype(Field)>::RecordType;

template <auto Field>
RegistryValueLayout<RecordOf<Field>> Text(const char* name, const char* defaultText = "", DWORD flags = 2) {
  RegistryValueLayout<RecordOf<Field>> value{name, RegistryValueType::Text};
  value.textDefault = defaultText;
  value.serviceReadFlags = flags;
  value.text = &FieldOf<Field>;
  return value;
}

template <auto Field>
RegistryValueLayout<RecordOf<Field>> Number(const char* name, int defaultNumber = 0) {
  RegistryValueLayout<RecordOf<Field>> value{name, RegistryValueType::Number};
  value.numberDefault = defaultNumber;
  value.number = &FieldOf<Field>;
  return value;
}

template <auto Field>
RegistryValueLayout<RecordOf<Field>> TextList(const char* name) {
  RegistryValueLayout<RecordOf<Field>> value{name, RegistryValueType::TextList};
  value.texts = &FieldOf<Field>;
  return value;
}

template <auto Field>
RegistryValueLayout<RecordOf<Field>> NumberList(const char* name) {
  RegistryValueLayout<RecordOf<Field>> value{name, RegistryValueType::NumberList};
  value.numbers = &FieldOf<Field>;
  return value;
}

template <auto Field>
RegistryValueLayout<RecordOf<Field>> CountedTexts(const char* countName, const char* prefix, DWORD flags) {
  RegistryValueLayout<RecordOf<Field>> value{countName, RegistryValueType::CountedTexts};
  value.serviceReadFlags = flags;
  value.texts = &FieldOf<Field>;
  value.prefix = prefix;
  return value;
}

// A path of one of a rule's two directory profiles.
RegistryValueLayout<RuleRecord> RulePath(const char* name, CString& (*field)(RuleRecord&), bool resignOnly) {
  RegistryValueLayout<RuleRecord> value{name, RegistryValueType::Text};
  value.text = field;
  value.resignOnly = resignOnly;
  return value;
}

const RegistryValueLayout<BaseSettings> kBaseValues[] = {
    Text<&BaseSettings::sigExt>("SigExt", "p7s"),
    Text<&BaseSettings::dsigExt>("DsigExt", "p7d"),
    Text<&BaseSettings::encExt>("EncExt", "p7e"),
    Text<&BaseSettings::b64Ext>("B64Ext", "b64"),
    Text<&BaseSettings::hashExt>("HashExt", "hsh"),
    Text<&BaseSettings::verifyFileExt>("VerifyFileExt", "vrf"),
    Text<&BaseSettings::zipArchiveExt>("ZIPArchiveExt", ""),
    Text<&BaseSettings::gzipArchiveExt>("GZIPArchiveExt", ""),
    [] {
      RegistryValueLayout<BaseSettings> value{"ExtExt", RegistryValueType::TextList};
      value.textArray = &FieldOf<&BaseSettings::extExt>;
      return value;
    }(),
    Number<&BaseSettings::logFileSize>(kLogFileSizeValueName, 4000),
    Text<&BaseSettings::logPath>(kLogPathValueName, ""),
};

const RegistryValueLayout<ProfileRecord> kProfileValues[] = {
    TextList<&ProfileRecord::zcsProfiles>("ZCSProfile"),
    NumberList<&ProfileRecord::notCopyToLocal>("NotCopyToLocal"),
    NumberList<&ProfileRecord::notUseLdap>("NotUseLDAP"),
    NumberList<&ProfileRecord::useAia>("UseAIA"),
    NumberList<&ProfileRecord::notLoadCrl>("NotLoadCrl"),
    NumberList<&ProfileRecord::crlUpdatePeriod>("CrlUpdatePeriod"),
    Number<&ProfileRecord::handlerTimeout>("Handler timeout", 15),
    NumberList<&ProfileRecord::autoUseTsp>("AutoUseTSP"),
    TextList<&ProfileRecord::serverTsp>("ServerTSP"),
    NumberList<&ProfileRecord::autoVerifyTsp>("AutoVerifyTSP"),
    NumberList<&ProfileRecord::noTspIsError>("NoTSPisError"),
    NumberList<&ProfileRecord::notAddCert>("NotAddCert"),
    Number<&ProfileRecord::verifyFile>("Verify File"),
    Number<&ProfileRecord::verifyXFile>("Verify x file"),
    Number<&ProfileRecord::verifyDetFile>("Verify det file"),
    Number<&ProfileRecord::verifyResignFile>("Verify resign file"),
    Number<&ProfileRecord::renameConfFiles>("Rename conf files"),
};

const RegistryValueLayout<RuleRecord> kRuleValues[] = {
    Text<&RuleRecord::operation>("Operation"),
    Text<&RuleRecord::pathIn>("Path In"),
    Text<&RuleRecord::pathOut>("Path Out"),
    Text<&RuleRecord::pathOut2>("Path Out 2"),
    Text<&RuleRecord::pathError>("Path Error"),
    Text<&RuleRecord::delExt>("DelExt"),
    Text<&RuleRecord::addExt>("AddExt"),
    Text<&RuleRecord::folders>("Folders"),
    Text<&RuleRecord::copyFolders>("Copyfolders"),
    Number<&RuleRecord::archCount>("ArchCount"),
    Number<&RuleRecord::archSize>("ArchSize"),
    Number<&RuleRecord::archTimeout>("ArchTimeout"),
    Text<&RuleRecord::archName>("ArchName"),
    CountedTexts<&RuleRecord::masks>(kMaskCountValueName, "M", 3),
    Text<&RuleRecord::mask>("Mask", "", 3),
    Number<&RuleRecord::isOn>("Is on"),
    Text<&RuleRecord::zcsProfile>("ZCSProfile"),
    Text<&RuleRecord::resignProfile>("ResignProfile"),
    Number<&RuleRecord::inFormatDet>("In format det"),
    Number<&RuleRecord::outFormatDet>("Out format det"),
    Text<&RuleRecord::description>("Descryption"),
    Text<&RuleRecord::execName>("ExecName"),
    Number<&RuleRecord::execTimeout>("ExecTimeout"),
    Number<&RuleRecord::encAlgorithm>("Enc algorythm"),
    RulePath("LDAP", [](RuleRecord& r) -> CString& { return r.directoryProfile.ldap; }, false),
    Number<&RuleRecord::stream>("Stream"),
    Number<&RuleRecord::zipFile>("ZipFile"),
    RulePath("PSE", [](RuleRecord& r) -> CString& { return r.directoryProfile.pse; }, false),
    RulePath("LOCAL", [](RuleRecord& r) -> CString& { return r.directoryProfile.local; }, false),
    RulePath("PSE2", [](RuleRecord& r) -> CString& { return r.resignDirectoryProfile.pse; }, true),
    RulePath("LOCAL2", [](RuleRecord& r) -> CString& { return r.resignDirectoryProfile.local; }, true),
    RulePath("LDAP2", [](RuleRecord& r) -> CString& { return r.resignDirectoryProfile.ldap; }, true),
    CountedTexts<&RuleRecord::recipients>("Ext num", "C", 2),
};

const RegistryValueLayout<SignerListRecord> kSignerListValues[] = {
    CountedTexts<&SignerListRecord::signers>("Signer Num", "S", 3),
};

}  // namespace

std::span<const RegistryValueLayout<BaseSettings>> BaseValueLayout() { return kBaseValues; }
std::span<const RegistryValueLayout<ProfileRecord>> ProfileValueLayout() { return kProfileValues; }
std::span<const RegistryValueLayout<RuleRecord>> RuleValueLayout() { return kRuleValues; }
std::span<const RegistryValueLayout<SignerListRecord>> SignerListValueLayout() { return kSignerListValues; }

template <class Record>
int ReadRegistryValue(RegistryValues& registry, const RegistryValueLayout<Record>& value, Record& record, HWND owner,
                      DWORD flags) {
  switch (value.type) {
    case RegistryValueType::Text:
      registry.ReadStringValue(value.name, value.text(record), owner, flags, value.textDefault);
      return 0;
    case RegistryValueType::Number:
      registry.ReadDwordValue(value.name, value.number(record), owner, flags, value.numberDefault);
      return 0;
    case RegistryValueType::TextList:
      if (value.textArray != nullptr)
        registry.ReadStringArray(value.name, value.textArray(record), owner);
      else
        registry.ReadStringList(value.name, value.texts(record), owner);
      return 0;
    case RegistryValueType::NumberList:
      registry.ReadIntList(value.name, value.numbers(record), owner);
      return 0;
    case RegistryValueType::CountedTexts: {
      int count = 0;
      registry.ReadDwordValue(value.name, count, owner, flags, 0);
      if (count > kMaxCountedTexts) return count;
      std::vector<CString>& texts = value.texts(record);
      for (int i = 0; i < count; ++i) {
        CStringA name;
        name.Format("%s%d", value.prefix, i);
        CString text;
        // The texts are reported with the console too, whatever the count's flags.
        registry.ReadStringValue(name, text, owner, flags | 1, "");
        texts.push_back(text);
      }
      return count;
    }
  }
  return 0;
}

template int ReadRegistryValue(RegistryValues&, const RegistryValueLayout<BaseSettings>&, BaseSettings&, HWND, DWORD);
template int ReadRegistryValue(RegistryValues&, const RegistryValueLayout<ProfileRecord>&, ProfileRecord&, HWND, DWORD);
template int ReadRegistryValue(RegistryValues&, const RegistryValueLayout<RuleRecord>&, RuleRecord&, HWND, DWORD);
template int ReadRegistryValue(RegistryValues&, const RegistryValueLayout<SignerListRecord>&, SignerListRecord&, HWND, DWORD);
