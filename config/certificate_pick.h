#pragma once
// One pick of certificates: the library context that the picker runs in is
// opened on the rule's directory profile only for the length of the pick,
// under a waiting window, after which the network directory is probed and
// the revocation lists are refreshed when their period has passed. Either
// check may fail without ending the pick when the user agrees to go on
// without it. The context is released on every path.
//
// Window thread only: the library calls block it, and the context is never
// handed to another thread.

#include <functional>

#include <QDialog>

#include "common/config_records.h"
#include "common/qelm_api.h"
#include "common/registry_values.h"
#include "config/certificate_search.h"

class QLabel;

// The two kinds of pick (the picker's list mode).
enum class PickKind { Recipients = 0, SignerList = 1 };

// The context-open flags for the settings of a directory profile.
inline constexpr uint32_t kPickContextFlags = 0x80000040u;
uint32_t PickContextFlags(const DirectoryProfileSettings& settings);

// The pick's parameter record from position k of the profile's lists.
PreEncryptParams PickParameters(const ProfileRecord& profile, int k, PickKind kind);

// Runs the picker (CPreEncryptDlg) on the opened context: the caller builds
// it with its initial data, runs it modally and, on OK, takes its result.
// useNetworkDirectory enables its network search. Returns whether the picker
// ended with OK.
using PickerRunner =
    std::function<bool(const PreEncryptParams& params, LibraryContext context, int useNetworkDirectory)>;

// The whole pick on directory profile "ZCSProfile"[k] of profile: the
// waiting window around the open, the warnings of a failed open, probe or
// refresh, then runPicker. Returns what runPicker returned, or false when the
// pick was abandoned before it.
bool RunCertificatePicker(QWidget* owner, const ProfileRecord& profile, int k, PickKind kind,
                          const PickerRunner& runPicker);

// Whether the network directory answers on context. 1 to go on (with
// useNetworkDirectory 1 when it answered, 0 when the user chose to go on
// without it), 0 to abandon the pick.
int ProbeNetworkDirectory(int& useNetworkDirectory, LibraryContext context, HWND owner);

// Refreshes the revocation lists of context when those of "ZCSProfile"[k]
// are due by the base key's "LastCrlUpdate" and "CrlUpdatePeriod"[k], and
// records the attempt there. 1 to go on, 0 to abandon the pick (the key could
// not be opened, or the user declined after a failed refresh). The base key
// is opened in registry for the call only and closed on every way out.
int RefreshCrlsInteractive(RegistryValues& registry, int k, LibraryContext context, HWND owner,
                           const ProfileRecord& profile);

// The waiting window shown while the library opens a context: no caption,
// one text, centred over its owner.
class AwaitDlg : public QDialog {
  Q_OBJECT
 public:
  explicit AwaitDlg(QWidget* owner);

  // Shows the window modeless over its owner and paints it at once: the
  // next call blocks the window thread.
  void ShowAndPaint();

  QString Text() const;

 private:
  void CentreOverOwner();
  QLabel* text_;
};
