#include "service/host/dispatch.h"

#include <cstring>

#include "common/library_error_stack.h"
#include "common/operation_catalogue.h"
#include "platform/codepage.h"
#include "service/core/error_folder.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/operations/operations.h"

namespace {

constexpr DWORD kCertificateSelectionMask = 0x10000;

// The encrypting codes: which search text they journal.
const wchar_t* SearchFailureFormat(const CString& operation) {
  if (IsOperation(operation, Operation::kLenc))
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
  DWORD rc = WriteJournal(rule.journalFolder, rule.journalFiles, rule.profileName,
                          {.code = code, .message = message, .step = message, .detail = detail});
  if (rc != 0) return rc;
  for (const CString& name : rule.files) {
    CString source = JoinPath(r.pathIn, name);
    CString target = JoinPath(r.pathError, name);
    rc = MoveToErrorFolder(rule.journalFolder, rule.journalFiles, source, target, CString());
    if (rc != 0) return rc;
  }
  return 0;
}

// The recipients' certificates of a rule, searched in its directory
// profile's context; false after a failed search, which has been handled
// (journaled, files moved) with its result in *result.
bool FindRecipients(const RuleDispatch& rule, RecipientCertificates& certificates, DWORD* result) {
  const RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  const bool useNetwork = ListValueAt(rule.profile.notUseLdap, rule.directoryProfileIndex) == 0;
  for (const CString& recipient : r.recipients) {
    DWORD code = certificates.Search(recipient, useNetwork);
    if (code != 0) {
      // The search failed on the rule's context, so its lines are on that
      // context's stack: read them there, before any other library call (the
      // release of what was found included), so that they neither go missing
      // from this record nor turn up in a later one.
      CString detail = FormatLibraryErrorStack(certificates.Context());
      *result = FailSearch(rule, recipient, code, detail);
      return false;
    }
  }
  return true;
}

LibraryContext RuleContextOf(const RuleDispatch& rule) {
  const RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  if (r.tableIndex < 0 || r.tableIndex >= static_cast<int>(rule.table.size())) return nullptr;
  return rule.table[r.tableIndex].context;
}

using Found = RecipientCertificates;

// Calls the function of an operation. Each call works on its own copy of the
// profile (whose changes, journal files included, are dropped with it),
// except PACK, UNPK and EXEC, which keep state of the worker's record. The
// switch has no default, so an operation added to the catalogue without a
// call here is a compiler warning.
DWORD CallOperation(Operation operation, const RuleDispatch& d, const Found& c) {
  switch (operation) {
    case Operation::kEncr: {
      ProfileRecord p(d.profile);
      return EncryptFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.encExt,
                          d.archExt, 0, c.Records(), c.Count());
    }
    case Operation::kLenc: {
      ProfileRecord p(d.profile);
      return EncryptFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.encExt,
                          d.archExt, 1, c.Records(), c.Count());
    }
    case Operation::kDecr: {
      ProfileRecord p(d.profile);
      return DecryptFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.encExt,
                          d.archExt, &d.base.extExt, 0);
    }
    case Operation::kLdec: {
      ProfileRecord p(d.profile);
      return DecryptFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.encExt,
                          d.archExt, &d.base.extExt, 1);
    }
    case Operation::kHash: {
      ProfileRecord p(d.profile);
      return HashFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.hashExt);
    }
    case Operation::kB64e: {
      ProfileRecord p(d.profile);
      return EncodeFilesBase64(d.files, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.b64Ext);
    }
    case Operation::kB64d: {
      ProfileRecord p(d.profile);
      return DecodeFilesBase64(d.files, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.b64Ext,
                               &d.base.extExt);
    }
    case Operation::kSign: {
      ProfileRecord p(d.profile);
      return SignFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.sigExt, 0, 0);
    }
    case Operation::kCdsg: {
      ProfileRecord p(d.profile);
      return SignFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.dsigExt, 1, 0);
    }
    case Operation::kDsig: {
      ProfileRecord p(d.profile);
      return SignFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.dsigExt, 1, 1);
    }
    case Operation::kChck: {
      ProfileRecord p(d.profile);
      return VerifyAttachedSignatures(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName,
                                      d.base.sigExt, 0, d.profile.verifyFile, d.base.verifyFileExt);
    }
    case Operation::kChkx: {
      ProfileRecord p(d.profile);
      return VerifyAttachedSignatures(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName,
                                      d.base.sigExt, 1, d.profile.verifyXFile, d.base.verifyFileExt);
    }
    case Operation::kResg: {
      ProfileRecord p(d.profile);
      return ResignFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.sigExt,
                         d.base.dsigExt, d.base.verifyFileExt);
    }
    case Operation::kDele: {
      ProfileRecord p(d.profile);
      return DeleteFiles(d.files, d.ruleIndex, p, d.journalFolder, d.profileName);
    }
    case Operation::kDchk: {
      ProfileRecord p(d.profile);
      return VerifyDetachedSignatures(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName,
                                      d.base.dsigExt, d.base.verifyFileExt);
    }
    case Operation::kMove: {
      ProfileRecord p(d.profile);
      return MoveFiles(d.files, d.ruleIndex, p, d.journalFolder, d.profileName);
    }
    case Operation::kDels: {
      ProfileRecord p(d.profile);
      return RemoveSignatures(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.sigExt);
    }
    case Operation::kSgen: {
      ProfileRecord p(d.profile);
      return SignAndEncryptFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName, d.base.sigExt,
                                 d.archExt, d.base.encExt, c.Records(), c.Count());
    }
    case Operation::kDccx: {
      ProfileRecord p(d.profile);
      return DecryptAndVerifyFiles(d.files, d.table, d.ruleIndex, p, d.journalFolder, d.profileName,
                                   d.base.sigExt, d.archExt, d.base.encExt, &d.base.extExt,
                                   d.profile.verifyXFile, d.base.verifyFileExt);
    }
    case Operation::kArch: {
      ProfileRecord p(d.profile);
      return ArchiveFiles(d.files, d.ruleIndex, p, d.journalFolder, d.profileName, d.archExt);
    }
    case Operation::kUnar: {
      ProfileRecord p(d.profile);
      return UnarchiveFiles(d.files, d.ruleIndex, p, d.journalFolder, d.profileName, d.archExt);
    }
    case Operation::kPack: {
      return PackFiles(d.files, d.ruleIndex, d.profile, d.journalFolder, d.profileName, d.archExt,
                       &d.profile.rules[d.ruleIndex].packWaitStart);
    }
    case Operation::kUnpk: {
      return UnpackArchives(d.files, d.ruleIndex, d.profile, d.journalFolder, d.profileName);
    }
    case Operation::kExec: {
      return ExecuteProgram(d.files, d.ruleIndex, d.profile, d.journalFolder, d.profileName);
    }
  }
  return 0;
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
  const OperationTraits* operation = FindOperation(rule.profile.rules[rule.ruleIndex].operation);
  if (operation == nullptr) return 0;
  RecipientCertificates certificates(RuleContextOf(rule));
  DWORD result = 0;
  if (operation->searchesRecipients && !FindRecipients(rule, certificates, &result)) return result;
  return CallOperation(operation->operation, rule, certificates);
}
