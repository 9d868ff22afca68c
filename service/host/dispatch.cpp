#include "service/host/dispatch.h"

#include <cstring>

#include "common/library_error_stack.h"
#include "common/operation_catalogue.h"
#include "platform/codepage.h"
#include "service/core/error_folder.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/rule_settings.h"
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
  DWORD rc = WriteJournal(rule.journalFolder, rule.worker.journalFiles, rule.profileName,
                          {.code = code, .message = message, .step = message, .detail = detail});
  if (rc != 0) return rc;
  for (const CString& name : rule.files) {
    CString source = JoinPath(r.pathIn, name);
    CString target = JoinPath(r.pathError, name);
    rc = MoveToErrorFolder(rule.journalFolder, rule.worker.journalFiles, source, target, CString());
    if (rc != 0) return rc;
  }
  return 0;
}

// The recipients' certificates of a rule, searched in its directory
// profile's context; false after a failed search, which has been handled
// (journaled, files moved) with its result in *result.
bool FindRecipients(const RuleDispatch& rule, const RuleSettings& settings, RecipientCertificates& certificates,
                    DWORD* result) {
  const RuleRecord& r = rule.profile.rules[rule.ruleIndex];
  const bool useNetwork = settings.directory.useNetworkDirectory;
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
  const int index = rule.state.tableIndex;
  if (index < 0 || index >= static_cast<int>(rule.table.size())) return nullptr;
  return rule.table[index].context;
}

// The stored integers that mean "on" for the verification report.
bool WritesReport(int storedFlag) { return storedFlag != 0; }

// The archive extension of a rule's setting: "GZIPArchiveExt" for GZIP,
// "ZIPArchiveExt" for any other.
CString ArchiveExtensionOf(ArchiveSetting archive, const BaseSettings& base) {
  return GzipArchive(archive) ? base.gzipArchiveExt : base.zipArchiveExt;
}

// Calls the function of an operation, with an OperationCall built once from
// the rule's dispatch: the rule as loaded, its settings, the worker's state
// of it and the worker's journal files. The switch has no default, so an
// operation added to the catalogue without a call here is a compiler warning.
DWORD CallOperation(Operation operation, const RuleDispatch& d, const RuleSettings& settings,
                    const RecipientCertificates& c) {
  const OperationCall call{.files = d.files,
                           .table = &d.table,
                           .ruleIndex = d.ruleIndex,
                           .rule = d.profile.rules[d.ruleIndex],
                           .state = d.state,
                           .worker = d.worker,
                           .journalFolder = d.journalFolder,
                           .profileName = d.profileName,
                           .settings = settings};
  const BaseSettings& base = d.base;
  const CString archExt = ArchiveExtensionOf(settings.archive, base);
  switch (operation) {
    case Operation::kEncr:
    case Operation::kLenc:
      return EncryptFiles(call,
                          {.encExt = base.encExt,
                           .archExt = archExt,
                           .transfer = operation == Operation::kLenc ? TransferMode::kStream : TransferMode::kBlock,
                           .recipients = c.Records()});
    case Operation::kDecr:
    case Operation::kLdec:
      return DecryptFiles(call,
                          {.encExt = base.encExt,
                           .archExt = archExt,
                           .extExt = &base.extExt,
                           .transfer = operation == Operation::kLdec ? TransferMode::kStream : TransferMode::kBlock});
    case Operation::kHash:
      return HashFiles(call, base.hashExt);
    case Operation::kB64e:
      return EncodeFilesBase64(call, base.b64Ext);
    case Operation::kB64d:
      return DecodeFilesBase64(call, {.b64Ext = base.b64Ext, .extExt = &base.extExt});
    case Operation::kSign:
      return SignFiles(call, {.sigExt = base.sigExt, .kind = SignatureKind::kAttached});
    case Operation::kCdsg:
      return SignFiles(call, {.sigExt = base.dsigExt, .kind = SignatureKind::kDetached});
    case Operation::kDsig:
      return SignFiles(call, {.sigExt = base.dsigExt, .kind = SignatureKind::kAddedToDetached});
    case Operation::kChck:
      return VerifyAttachedSignatures(call, {.sigExt = base.sigExt,
                                             .removeSignatures = false,
                                             .writeReport = WritesReport(d.profile.verifyFile),
                                             .verifyFileExt = base.verifyFileExt});
    case Operation::kChkx:
      return VerifyAttachedSignatures(call, {.sigExt = base.sigExt,
                                             .removeSignatures = true,
                                             .writeReport = WritesReport(d.profile.verifyXFile),
                                             .verifyFileExt = base.verifyFileExt});
    case Operation::kResg:
      return ResignFiles(call, {.sigExt = base.sigExt,
                                .dsigExt = base.dsigExt,
                                .writeReport = WritesReport(d.profile.verifyResignFile),
                                .verifyFileExt = base.verifyFileExt});
    case Operation::kDele:
      return DeleteFiles(call);
    case Operation::kDchk:
      return VerifyDetachedSignatures(call, {.dsigExt = base.dsigExt,
                                             .writeReport = WritesReport(d.profile.verifyDetFile),
                                             .verifyFileExt = base.verifyFileExt});
    case Operation::kMove:
      return MoveFiles(call);
    case Operation::kDels:
      return RemoveSignatures(call, base.sigExt);
    case Operation::kSgen:
      return SignAndEncryptFiles(
          call, {.sigExt = base.sigExt, .archExt = archExt, .encExt = base.encExt, .recipients = c.Records()});
    case Operation::kDccx:
      return DecryptAndVerifyFiles(call, {.sigExt = base.sigExt,
                                          .archExt = archExt,
                                          .encExt = base.encExt,
                                          .extExt = &base.extExt,
                                          .writeReport = WritesReport(d.profile.verifyXFile),
                                          .verifyFileExt = base.verifyFileExt});
    case Operation::kArch:
      return ArchiveFiles(call, archExt);
    case Operation::kUnar:
      return UnarchiveFiles(call, archExt);
    case Operation::kPack:
      return PackFiles(call, {.archExt = archExt, .waitStart = &d.state.packWaitStart});
    case Operation::kUnpk:
      return UnpackArchives(call);
    case Operation::kExec:
      return ExecuteProgram(call);
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
  const RuleSettings settings = ReadRuleSettings(rule.profile, rule.ruleIndex);
  RecipientCertificates certificates(RuleContextOf(rule));
  DWORD result = 0;
  if (operation->searchesRecipients && !FindRecipients(rule, settings, certificates, &result)) return result;
  return CallOperation(operation->operation, rule, settings, certificates);
}
