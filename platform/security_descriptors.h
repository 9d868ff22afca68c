#pragma once
// Security descriptors: a DACL whose entries name Linux users by user id.
// An absolute descriptor (SECURITY_DESCRIPTOR) points at its DACL; a
// self-relative one is a byte buffer of the layer's own layout: the 20-byte
// header of Windows (revision, control, four offsets) followed by the DACL,
// whose entries are {type, flags, size, mask} and the trustee's text in
// UTF-8, NUL-terminated and padded to 4 bytes. A trustee is written
// "S-1-22-1-<uid>" (the form Windows peers give a Unix user's id): a user
// named in a grant is looked up once, and a user made later under the same
// name is someone else. Entries that name a user by name (as older stores
// hold them) match no one. The service manager keeps a service's descriptor
// in this form.
//
// Calls set the Windows last error on failure: 87 bad argument, 1338 a
// descriptor that is not usable.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/windows_types.h"

inline constexpr DWORD DACL_SECURITY_INFORMATION = 0x4;
inline constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
inline constexpr DWORD ACL_REVISION = 2;

struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
using PACL = ACL*;

// In-memory (absolute) descriptor. Self-relative descriptors returned by
// QueryServiceObjectSecurity are byte buffers of the layer's own layout.
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  PVOID Owner;
  PVOID Group;
  PACL Sacl;
  PACL Dacl;
};
using PSECURITY_DESCRIPTOR = void*;
inline constexpr WORD SE_DACL_PRESENT = 0x0004;
inline constexpr WORD SE_SELF_RELATIVE = 0x8000;

enum ACCESS_MODE { NOT_USED_ACCESS = 0, GRANT_ACCESS, SET_ACCESS, DENY_ACCESS, REVOKE_ACCESS };
inline constexpr DWORD NO_INHERITANCE = 0;
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME = 1 };
enum TRUSTEE_TYPE { TRUSTEE_IS_UNKNOWN = 0, TRUSTEE_IS_USER = 1 };

struct TRUSTEE_W {
  void* pMultipleTrustee;
  int MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;
};

struct EXPLICIT_ACCESS_W {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE_W Trustee;
};

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted);
void BuildExplicitAccessWithNameW(EXPLICIT_ACCESS_W* access, LPWSTR trusteeName,
                                  DWORD permissions, ACCESS_MODE mode, DWORD inheritance);
// Merges the entries into a copy of oldAcl; *newAcl is freed with LocalFree.
// A trustee's user name is stored as its user id; entries of the same user
// (by id, or by the name as older stores hold it) are replaced or revoked.
// Returns an error code: 1332 when a trustee names no Linux user.
DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL oldAcl, PACL* newAcl);
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted);


namespace platform {

// The layer's own pieces for the service manager.

inline constexpr size_t kSelfRelativeHeaderSize = 20;

// One entry of a DACL: type 0 allows, 1 denies mask to the trustee
// (UserTrustee of a user id; anything else matches no one).
struct AccessEntry {
  BYTE type;
  DWORD mask;
  std::string trustee;
};

// The trustee text of a user id, and the user id a trustee text names.
std::string UserTrustee(std::uint32_t uid);
bool TrusteeUser(const std::string& trustee, std::uint32_t& uid);

// The entries of acl in order (none for null); a malformed entry ends them.
std::vector<AccessEntry> ReadAccessEntries(const ACL* acl);
// A self-relative descriptor holding a DACL of the entries.
std::vector<BYTE> SelfRelativeDescriptor(const std::vector<AccessEntry>& entries);
// The DACL inside either form of descriptor (size bounds a self-relative
// one); null when none is present.
const ACL* DescriptorDacl(const void* descriptor, size_t size = SIZE_MAX);

// Whether the effective user is the administrator (root).
bool IsAdministrator();
// The rights a self-relative descriptor grants a user: those allowed (and
// the given rights every user has) less those denied by the entries of the
// user's id; all rights for the administrator (uid 0).
DWORD GrantedRightsOf(const std::vector<BYTE>& descriptor, std::uint32_t uid, DWORD everyone = 0);
// The same for the effective user.
DWORD GrantedRights(const std::vector<BYTE>& descriptor, DWORD everyone = 0);

}  // namespace platform
