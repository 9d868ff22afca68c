#pragma once
// Small pieces shared by the encryption, decryption, signing and signature
// removal operations: the rule's library context, paths as the library takes
// them, the library's result records held until released,
// and the way a failed library call becomes a WorkFailure.
//
// Everything here runs on the worker thread.

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"
#include "common/config_records.h"
#include "service/core/directory_profile_table.h"
#include "service/core/file_pipeline.h"

// The context at tableIndex (the rule's RuleState::tableIndex), or null when
// there is no table or the index lies outside it; the library answers a null
// context with ORLAX_E_INVALID_CONTEXT, which fails the file like any library
// failure.
LibraryContext RuleContext(const DirectoryProfileTable* table, int tableIndex);

// A path as the library takes it: 8-bit text in the ANSI code page, through
// the rule's held folders and the claimed file's own descriptor
// (platform::PathThroughHeld), since the library opens files by name and
// sees nothing of what this process holds.
CStringA LibraryPath(const CString& path);

// A stored time-stamp server address as the stamping calls take it: without
// its trailing "/" and "\\", then one "/".
CString StampUrl(const CString& serverTsp);

// A failed library call as a WorkFailure: its code, the stage text and the
// context's error stack, which is drained here. Call it right after the
// failed call (and the release of that call's own result), before any other
// call on the context. Returns code.
DWORD LibraryFailure(WorkFailure& failure, DWORD code, LibraryContext context,
                     const CString& stageText = CString());

// A failure of the system's own (code and texts given). Returns code.
DWORD OwnFailure(WorkFailure& failure, DWORD code, const CString& stageText,
                 const CString& description = CString());

// A failed ReadWholeFile of the claimed input, by the stage that failed:
// "Открытие файла %s (размер: %s)", "Определение размера файла %s" (with
// "Размер файла больше 2ГБ или равен нулю" for a size out of range) or
// "Чтение файла %s (размер: %s)". Returns code.
DWORD WholeFileReadFailure(const PipelineFile& file, int stage, DWORD code, WorkFailure& failure);

// The library's result records, zeroed on construction and released with
// their own free call when the holder goes away (the free calls accept a
// zeroed record, so a failed call's empty record may be released too).
class HeldMessageInfo {
 public:
  explicit HeldMessageInfo(LibraryContext context);
  ~HeldMessageInfo();
  HeldMessageInfo(const HeldMessageInfo&) = delete;
  HeldMessageInfo& operator=(const HeldMessageInfo&) = delete;
  MessageInfo* get() { return &info_; }
  const MessageInfo& operator*() const { return info_; }
  void Release();

 private:
  LibraryContext context_;
  MessageInfo info_;
};

class HeldVerifyResult {
 public:
  explicit HeldVerifyResult(LibraryContext context);
  ~HeldVerifyResult();
  HeldVerifyResult(const HeldVerifyResult&) = delete;
  HeldVerifyResult& operator=(const HeldVerifyResult&) = delete;
  VerifyResult* get() { return &result_; }
  void Release();

 private:
  LibraryContext context_;
  VerifyResult result_;
};

// A DataBlob that the library filled, released with ORLAX_FreeMem when the
// holder is done with it (or goes away) and then set back to {0, null}, so
// that it is released once on every path.
class HeldLibraryBlob {
 public:
  explicit HeldLibraryBlob(LibraryContext context) : context_(context) {}
  ~HeldLibraryBlob() { Release(); }
  HeldLibraryBlob(const HeldLibraryBlob&) = delete;
  HeldLibraryBlob& operator=(const HeldLibraryBlob&) = delete;
  DataBlob* get() { return &blob_; }
  const DataBlob& operator*() const { return blob_; }
  bool Empty() const { return blob_.length == 0; }
  void Release();

 private:
  LibraryContext context_;
  DataBlob blob_{};
};

// The parameters of every decryption call: zeroed, mode 0x8003.
DecryptParams MakeDecryptParams();

class HeldDecryptResult {
 public:
  explicit HeldDecryptResult(LibraryContext context);
  ~HeldDecryptResult();
  HeldDecryptResult(const HeldDecryptResult&) = delete;
  HeldDecryptResult& operator=(const HeldDecryptResult&) = delete;
  DecryptResult* get() { return &result_; }
  void Release();

 private:
  LibraryContext context_;
  DecryptResult result_;
};
