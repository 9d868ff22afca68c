#pragma once
// Outputs written under a temporary name in their own folder and given their
// final name only once the file is done, by a rename that never replaces: a
// crash (or a failure) never leaves a partial file under an output's name,
// and a name taken while the file was worked on is never overwritten.
//
// The temporary names (".~<final name>.<process><random>.part") are made by this
// module only; the listing never hands them to an operation (an output still
// being written is no input of another rule). Worker thread only.

#include <vector>

#include "platform/cstring.h"
#include "platform/windows_types.h"

// True for a name this module gives an output while it is being written.
bool IsStagedOutputName(const CString& name);

class StagedOutputs {
 public:
  // Gives final (folder/stem + suffix, already settled by the conflict
  // rules) a temporary name in the same folder and returns it. The writer
  // creates the temporary file itself; nothing is created here. stem and
  // suffix are kept for a conflict mark drawn at publishing.
  CString Stage(const CString& final, const CString& stem, const CString& suffix);

  bool Empty() const { return outputs_.empty(); }

  // Gives every written temporary file the permission bits (0777 at most):
  // an output is never more readable than its input.
  void LimitPermissions(DWORD permissions) const;

  // Renames every written temporary file to its final name, never replacing.
  // A final name taken meanwhile is, with renameConfFiles, replaced by the
  // stem with a new conflict mark (up to the usual number of attempts);
  // otherwise (or when the attempts run out) publishing stops: 0 is not
  // returned, failedName is the final name that could not be given, and the
  // outputs published so far and every temporary file are deleted. An
  // output whose temporary file was never written is left out.
  DWORD Publish(int renameConfFiles, CString& failedName);

  // Deletes every temporary file (a failed file leaves none).
  void Discard();

  // The text with every temporary name replaced by its final one: records
  // name outputs by the names they get.
  CString Shown(const CString& text) const;

 private:
  struct Output {
    CString final;
    CString temporary;
    CString stem;
    CString suffix;
    bool published = false;
  };
  std::vector<Output> outputs_;
};
