#include "service/core/dispatch.h"

#include <cstring>

#include "common/library_error_stack.h"
#include "platform/codepage.h"
#include "service/core/error_folder.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/operations/operations.h"

namespace {

constexpr DWORD kCertificateSelectionMask = 0x10000;

// The encrypting codes: which search text they journal.
const wchar_t* SearchFailureFormat(const CString& operation) {
  if (operation == L"LENC")
    return L"Поиск сертификата '%s' для потокового шифрования файлов в папке '%s'";
  return L"Поиск сертификата '%s' для шифрования файлов в папке '%s'";
}

// A failed search: one record for the rule, then every listed file to the
// error folder under its own name.
DWORD FailSearch(const RuleDispatch& rule, const CString& recipient, DWORD code, const CString& detail) {
  const RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  CString search, moving;
  search.Format(SearchFailureFormat(r.operation), recipient, r.pathIn);
  moving.Format(L"Перемещение %d файлов из папки '%s' в каталог ошибок '%s'",
                static_cast<int>(rule.files.GetSize()), r.pathIn, r.pathError);
  CString message = rule.rulePrefix + search + L". " + moving;
  // The message is finished text: it goes in as an argument so that a "%s"
  // in a recipient or folder name is written as it stands.
  DWORD rc = WriteJournal(rule.journalFolder, rule.journalFiles, rule.profileName, code, L"%s", CString(),
                          message, message, CString(), CString(), CString(), CString(), CString(), detail);
  if (rc != 0) return rc;
  for (const CString& name : rule.files) {
    CString source = JoinPath(r.pathIn, name);
    CString target = JoinPath(r.pathError, name);
    rc = MoveToErrorFolder(rule.journalFolder, rule.journalFiles, source, target, CString());
    if (rc != 0) return rc;
  }
  return 0;
}

template <typename Call>
DWORD WithCertificates(const RuleDispatch& rule, Call call) {
  RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  LibraryContext context = nullptr;
  if (r.tableIndex >= 0 && r.tableIndex < static_cast<int>(rule.table.size()))
    context = rule.table[r.tableIndex].context;
  bool useNetwork = ListValueAt(rule.profile.notUseLdap, rule.directoryProfileIndex) == 0;
  RecipientCertificates certificates(context);
  for (const CString& recipient : r.recipients) {
    DWORD code = certificates.Search(recipient, useNetwork);
    if (code != 0) {
      // The search failed on the rule's context, so its lines are on that
      // context's stack: read them there, before any other library call (the
      // release of what was found included), so that they neither go missing
      // from this record nor turn up in a later one.
      CString detail = FormatLibraryErrorStack(context);
      return FailSearch(rule, recipient, code, detail);
    }
  }
  return call(certificates.Records(), certificates.Count());
}

}  // namespace

RecipientCertificates::~RecipientCertificates() {
  for (FindResult& result : results_) {
    if (result.certs != nullptr) ORLAX_FreeFindResult(context_, &result);
  }
}

DWORD RecipientCertificates::Search(const CString& recipient, bool useNetworkDirectory) {
  std::string subject = platform::WideToMultiByte(recipient.GetString(), CP_ACP);
  CertQuery query;
  std::memset(&query, 0, sizeof(query));
  query.flags = useNetworkDirectory ? ORLAX_FIND_NETWORK : 0;
  query.subjectKind = ORLAX_SUBJECT_KIND_DN;
  query.subject = subject.c_str();
  query.selectionMask = kCertificateSelectionMask;
  FindResult result;
  std::memset(&result, 0, sizeof(result));
  DWORD code = ORLAX_FindCert(context_, &query, &result);
  if (code != 0) {
    if (result.certs != nullptr) results_.push_back(result);
    return code;
  }
  results_.push_back(result);
  // A recipient with no certificate must not let files leave encrypted for
  // fewer recipients than the rule names, or for nobody.
  if (result.count == 0 || result.certs == nullptr) return ORLAX_E_CERT_NOT_FOUND;
  for (uint32_t i = 0; i < result.count; ++i) records_.push_back(result.certs[i]);
  return 0;
}

DWORD DispatchRule(const RuleDispatch& rule) {
  RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  const CString& op = r.operation;
  const BaseSettings& base = rule.base;
  const CStringArray& files = rule.files;
  const int i = rule.ruleIndex;
  CString jf = rule.journalFolder;
  CString pn = rule.profileName;
  DirectoryProfileTable& table = rule.table;
  // Each call gets its own copy of the profile; its changes (journal files
  // included) are dropped with it.
  auto copy = [&] { return ProfileRecord(rule.profile); };

  if (op == L"ENCR" || op == L"LENC") {
    int mode = op == L"LENC" ? 1 : 0;
    return WithCertificates(rule, [&](const CertRecord* certs, int count) {
      ProfileRecord p = copy();
      return EncryptFiles(files, table, i, p, jf, pn, base.encExt, rule.archExt, mode, certs, count);
    });
  }
  if (op == L"DECR" || op == L"LDEC") {
    ProfileRecord p = copy();
    return DecryptFiles(files, table, i, p, jf, pn, base.encExt, rule.archExt, &base.extExt,
                        op == L"LDEC" ? 1 : 0);
  }
  if (op == L"HASH") {
    ProfileRecord p = copy();
    return HashFiles(files, table, i, p, jf, pn, base.hashExt);
  }
  if (op == L"B64E") {
    ProfileRecord p = copy();
    return EncodeFilesBase64(files, i, p, jf, pn, base.b64Ext);
  }
  if (op == L"B64D") {
    ProfileRecord p = copy();
    return DecodeFilesBase64(files, i, p, jf, pn, base.b64Ext, &base.extExt);
  }
  if (op == L"SIGN" || op == L"CDSG" || op == L"DSIG") {
    ProfileRecord p = copy();
    bool detached = op != L"SIGN";
    return SignFiles(files, table, i, p, jf, pn, detached ? base.dsigExt : base.sigExt, detached ? 1 : 0,
                     op == L"DSIG" ? 1 : 0);
  }
  if (op == L"CHCK" || op == L"CHKX") {
    ProfileRecord p = copy();
    bool remove = op == L"CHKX";
    return VerifyAttachedSignatures(files, table, i, p, jf, pn, base.sigExt, remove ? 1 : 0,
                                    remove ? rule.profile.verifyXFile : rule.profile.verifyFile,
                                    base.verifyFileExt);
  }
  if (op == L"RESG") {
    ProfileRecord p = copy();
    return ResignFiles(files, table, i, p, jf, pn, base.sigExt, base.dsigExt, base.verifyFileExt);
  }
  if (op == L"DELE") {
    ProfileRecord p = copy();
    return DeleteFiles(files, i, p, jf, pn);
  }
  if (op == L"DCHK") {
    ProfileRecord p = copy();
    return VerifyDetachedSignatures(files, table, i, p, jf, pn, base.dsigExt, base.verifyFileExt);
  }
  if (op == L"MOVE") {
    ProfileRecord p = copy();
    return MoveFiles(files, i, p, jf, pn);
  }
  if (op == L"DELS") {
    ProfileRecord p = copy();
    return RemoveSignatures(files, table, i, p, jf, pn, base.sigExt);
  }
  if (op == L"SGEN") {
    return WithCertificates(rule, [&](const CertRecord* certs, int count) {
      ProfileRecord p = copy();
      return SignAndEncryptFiles(files, table, i, p, jf, pn, base.sigExt, rule.archExt, base.encExt, certs,
                                 count);
    });
  }
  if (op == L"DCCX") {
    ProfileRecord p = copy();
    return DecryptAndVerifyFiles(files, table, i, p, jf, pn, base.sigExt, rule.archExt, base.encExt,
                                 &base.extExt, rule.profile.verifyXFile, base.verifyFileExt);
  }
  if (op == L"ARCH") {
    ProfileRecord p = copy();
    return ArchiveFiles(files, i, p, jf, pn, rule.archExt);
  }
  if (op == L"UNAR") {
    ProfileRecord p = copy();
    return UnarchiveFiles(files, i, p, jf, pn, rule.archExt);
  }
  if (op == L"PACK") return PackFiles(files, i, rule.profile, jf, pn, rule.archExt, &r.packWaitStart);
  if (op == L"UNPK") return UnpackArchives(files, i, rule.profile, jf, pn);
  if (op == L"EXEC") return ExecuteProgram(files, i, rule.profile, jf, pn);
  return 0;
}
