#pragma once
// The operation functions that the dispatch calls, one per operation family.
// Every function takes the files listed in the rule's input folder, the rule's
// position in profile.rules, the profile (a private copy made for the call,
// except for PackFiles, UnpackArchives and ExecuteProgram, which work on the
// worker's own record), the journal folder and the profile name, then its own
// arguments. It returns 0 when every file was handled, recorded or passed
// over, or the non-zero result of the journal writer or the error-folder
// mover, on which the worker stops the service.

#include <cstdint>

#include "common/qelm_api.h"
#include "platform/cstring.h"
#include "common/config_records.h"

// Encryption modes and the like are plain integers, as the rules store them.
DWORD EncryptFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                   ProfileRecord& profile, CString journalFolder, CString profileName, CString encExt,
                   CString archExt, int streamMode, const CertRecord* certificates, int certificateCount);
DWORD DecryptFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                   ProfileRecord& profile, CString journalFolder, CString profileName, CString encExt,
                   CString archExt, const CStringArray* extExt, int streamMode);
DWORD HashFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                ProfileRecord& profile, CString journalFolder, CString profileName, CString hashExt);
DWORD EncodeFilesBase64(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                        CString journalFolder, CString profileName, CString b64Ext);
DWORD DecodeFilesBase64(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                        CString journalFolder, CString profileName, CString b64Ext,
                        const CStringArray* extExt);
DWORD SignFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                ProfileRecord& profile, CString journalFolder, CString profileName, CString sigExt,
                int detached, int add);
DWORD VerifyAttachedSignatures(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                               ProfileRecord& profile, CString journalFolder, CString profileName,
                               CString sigExt, int removeSignatures, int reportFlag,
                               CString verifyFileExt);
DWORD ResignFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                  ProfileRecord& profile, CString journalFolder, CString profileName, CString sigExt,
                  CString dsigExt, CString verifyFileExt);
DWORD DeleteFiles(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                  CString journalFolder, CString profileName);
DWORD VerifyDetachedSignatures(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                               ProfileRecord& profile, CString journalFolder, CString profileName,
                               CString dsigExt, CString verifyFileExt);
DWORD MoveFiles(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                CString journalFolder, CString profileName);
DWORD RemoveSignatures(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                       ProfileRecord& profile, CString journalFolder, CString profileName,
                       CString sigExt);
DWORD SignAndEncryptFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                          ProfileRecord& profile, CString journalFolder, CString profileName,
                          CString sigExt, CString archExt, CString encExt,
                          const CertRecord* certificates, int certificateCount);
DWORD DecryptAndVerifyFiles(const CStringArray& files, DirectoryProfileTable& table, int ruleIndex,
                            ProfileRecord& profile, CString journalFolder, CString profileName,
                            CString sigExt, CString archExt, CString encExt,
                            const CStringArray* extExt, int reportFlag, CString verifyFileExt);
DWORD ArchiveFiles(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                   CString journalFolder, CString profileName, CString archExt);
DWORD UnarchiveFiles(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                     CString journalFolder, CString profileName, CString archExt);
DWORD PackFiles(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                CString journalFolder, CString profileName, CString archExt,
                std::int64_t* packWaitStart);
DWORD UnpackArchives(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                     CString journalFolder, CString profileName);
DWORD ExecuteProgram(const CStringArray& files, int ruleIndex, ProfileRecord& profile,
                     CString journalFolder, CString profileName);
