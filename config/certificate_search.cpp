#include "config/certificate_search.h"

#include "common/error_box.h"
#include "common/library_error_stack.h"
#include "common/report_text.h"
#include "config/message_boxes.h"

namespace {

// The query flags of the searches.
constexpr uint32_t kNetworkDirectory = ORLAX_FIND_NETWORK;
constexpr uint32_t kSigningCertificates = ORLAX_FIND_SIGNING;
constexpr uint32_t kByNameInNetwork = ORLAX_FIND_BY_NAME | ORLAX_FIND_NETWORK;

// One search's result, released when the search ends, whatever the path.
class FoundRecords {
 public:
  explicit FoundRecords(LibraryContext context) : context_(context) {}
  ~FoundRecords() { ORLAX_FreeFindResult(context_, &result_); }
  FoundRecords(const FoundRecords&) = delete;
  FoundRecords& operator=(const FoundRecords&) = delete;

  // Runs the query; the library's code.
  DWORD Run(const CertQuery& query) { return ORLAX_FindCert(context_, &query, &result_); }

  const CertRecord* begin() const { return result_.certs; }
  const CertRecord* end() const { return result_.certs + (result_.certs ? result_.count : 0); }

 private:
  LibraryContext context_;
  FindResult result_{};
};

CString OwnerOf(const CertRecord& record) { return WidenAnsi(record.owner); }

void AddOnce(CStringArray& owners, const CString& owner) {
  for (INT_PTR i = 0; i < owners.GetSize(); ++i) {
    if (owners[i] == owner) return;
  }
  owners.Add(owner);
}

// The owners of the taken records, each once, in the library's order.
void TakeOwners(const FoundRecords& records, const PreEncryptParams& params, CStringArray& owners) {
  owners.RemoveAll();
  for (const CertRecord& record : records) {
    if (TakesCertificate(params, record.keyUsage)) AddOnce(owners, OwnerOf(record));
  }
}

// Nothing found is an empty result, no failure to show; the lines the search
// left (why each certificate of that name cannot be used) go, so that they
// never turn up in a later error box of the context.
int NothingFound(LibraryContext context) {
  DropLibraryErrorLines(context);
  return 1;
}

uint32_t SigningFlag(const PreEncryptParams& params) {
  return params.signerSearch != 0 ? kSigningCertificates : 0;
}

}  // namespace

bool TakesCertificate(const PreEncryptParams& params, uint8_t keyUsage) {
  return params.signerSearch != 0 || (keyUsage & ORLAX_KU_ENCRYPTION_MASK) != 0;
}

int FindAllOwners(CStringArray& owners, HWND owner, const PreEncryptParams& params,
                  LibraryContext context) {
  owners.RemoveAll();
  CertQuery query{};
  query.flags = SigningFlag(params);
  query.selectionMask = kFindAllMask;
  FoundRecords records(context);
  const DWORD code = records.Run(query);
  if (code == ORLAX_E_CERT_NOT_FOUND) return NothingFound(context);
  if (code != 0) {
    ReportErrorBox(ErrorOwner(WidgetOf(owner)), nullptr, 3, code, "Поиск всех сертификатов в локальном справочнике", nullptr,
                   nullptr);
    DropLibraryErrorLines(context);
    return 0;
  }
  TakeOwners(records, params, owners);
  return 1;
}

int FindOwnerCertificates(const CString& ownerDn, HWND owner, const PreEncryptParams& params,
                          LibraryContext context, std::vector<FoundCertificate>& certificates) {
  certificates.clear();
  const CStringA subject(ownerDn);
  CertQuery query{};
  query.flags = (params.notUseLdap == 0 ? kNetworkDirectory : 0) | SigningFlag(params);
  query.subjectKind = ORLAX_SUBJECT_KIND_DN;
  query.subject = subject.GetString();
  query.selectionMask = kFindOwnerMask;
  FoundRecords records(context);
  const DWORD code = records.Run(query);
  if (code == ORLAX_E_CERT_NOT_FOUND) return NothingFound(context);
  if (code != 0) {
    ReportErrorBox(ErrorOwner(WidgetOf(owner)), nullptr, 3, code, "Поиск сертификата %s", nullptr, subject.GetString());
    DropLibraryErrorLines(context);
    return 0;
  }
  CString wanted = ownerDn;
  wanted.MakeUpper();
  for (const CertRecord& record : records) {
    CString found = OwnerOf(record);
    if (found.MakeUpper() != wanted || !TakesCertificate(params, record.keyUsage)) continue;
    certificates.push_back(
        {OwnerOf(record), WidenAnsi(record.issuer), WidenAnsi(record.serialNumber), record.keyUsage});
  }
  return 1;
}

int FindOwnersByName(CStringArray& owners, HWND owner, const PreEncryptParams& params,
                     LibraryContext context, const CString& name) {
  owners.RemoveAll();
  // A lone "*" is asked as "*=*", the pattern of every "NAME=value" part.
  const CStringA subject(name == L"*" ? CString(L"*=*") : name);
  CertQuery query{};
  query.flags = kByNameInNetwork | SigningFlag(params);
  query.subjectKind = ORLAX_SUBJECT_KIND_DN;
  query.subject = subject.GetString();
  query.selectionMask = kFindByNameMask;
  FoundRecords records(context);
  const DWORD code = records.Run(query);
  if (code == ORLAX_E_CERT_NOT_FOUND) return NothingFound(context);
  if (code != 0) {
    ReportErrorBox(ErrorOwner(WidgetOf(owner)), context, 1, code, "Поиск сертификата %s", nullptr, subject.GetString());
    return 0;
  }
  TakeOwners(records, params, owners);
  return 1;
}
