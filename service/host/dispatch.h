#pragma once
// The dispatch of one rule to the function of its operation (found in the
// operation catalogue of common/), with the certificate search that the
// encrypting operations need. Above both the service core and the
// operations: nothing below includes it.

#include <span>
#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/config_store.h"
#include "service/core/directory_profile_table.h"
#include "service/core/worker_state.h"

// What the worker hands to the dispatch for one rule with listed files.
struct RuleDispatch {
  const CStringArray& files;     // bare names listed in the rule's "Path In"
  int ruleIndex;                 // position in profile.rules
  CString rulePrefix;            // "Правило %d%s. "
  const ProfileRecord& profile;  // as loaded
  DirectoryProfileTable& table;  // the worker's contexts
  RuleState& state;              // the worker's state of the rule
  WorkerState& worker;           // the worker's journal files and run memory
  const BaseSettings& base;
  CString journalFolder;
  CString profileName;
};

// Calls the operation whose code equals the rule's "Operation" (exactly,
// letter case included); an unknown code does nothing and returns 0. The
// rule's stored numbers are read into their types here (ReadRuleSettings),
// once for the call: the operations see only those. The
// encrypting codes (ENCR, LENC, SGEN) first search the certificates of the
// rule's recipients; a failed search is journaled once and every listed file
// goes to the error folder, and the operation is not called. Returns the
// operation's result, or the non-zero result of the journal writer or the
// error-folder mover (fatal for the worker).
DWORD DispatchRule(const RuleDispatch& rule);

// The recipients' certificates of an encrypting rule, found in the context of
// its directory profile. Owns the library's results and releases them.
class RecipientCertificates {
 public:
  explicit RecipientCertificates(LibraryContext context) : context_(context) {}
  ~RecipientCertificates();
  RecipientCertificates(const RecipientCertificates&) = delete;
  RecipientCertificates& operator=(const RecipientCertificates&) = delete;

  // Searches one recipient; returns 0 or the library's code.
  DWORD Search(const CString& recipient, bool useNetworkDirectory);
  // Every record found so far, recipient by recipient, in the library's order.
  std::span<const CertRecord> Records() const { return records_; }
  LibraryContext Context() const { return context_; }

 private:
  LibraryContext context_;
  std::vector<FindResult> results_;
  std::vector<CertRecord> records_;
};
