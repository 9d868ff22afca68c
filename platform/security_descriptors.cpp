#include "platform/security_descriptors.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/errors.h"
#include "platform/utf16.h"

namespace {

// The form Windows peers give a Unix user's id.
constexpr char kUserTrusteePrefix[] = "S-1-22-1-";

struct SelfRelativeHeader {
  BYTE Revision;
  BYTE Sbz1;
  WORD Control;
  DWORD OffsetOwner;
  DWORD OffsetGroup;
  DWORD OffsetSacl;
  DWORD OffsetDacl;
};
static_assert(sizeof(SelfRelativeHeader) == 20);

struct AceHeader {
  BYTE AceType;  // 0 allow, 1 deny
  BYTE AceFlags;
  WORD AceSize;
  DWORD Mask;
};
static_assert(sizeof(AceHeader) == 8);

std::vector<BYTE> BuildAclBytes(const std::vector<platform::AccessEntry>& entries) {
  std::vector<BYTE> bytes(sizeof(ACL));
  for (const platform::AccessEntry& entry : entries) {
    size_t nameSize = (entry.trustee.size() + 1 + 3) & ~size_t{3};
    AceHeader header{entry.type, 0, static_cast<WORD>(sizeof(AceHeader) + nameSize), entry.mask};
    size_t at = bytes.size();
    bytes.resize(at + header.AceSize, 0);
    std::memcpy(bytes.data() + at, &header, sizeof(header));
    std::memcpy(bytes.data() + at + sizeof(header), entry.trustee.data(), entry.trustee.size());
  }
  ACL acl{static_cast<BYTE>(ACL_REVISION), 0, static_cast<WORD>(bytes.size()),
          static_cast<WORD>(entries.size()), 0};
  std::memcpy(bytes.data(), &acl, sizeof(acl));
  return bytes;
}

}  // namespace

namespace platform {

std::vector<AccessEntry> ReadAccessEntries(const ACL* acl) {
  std::vector<AccessEntry> entries;
  if (acl == nullptr) return entries;
  const BYTE* base = reinterpret_cast<const BYTE*>(acl);
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount && offset + sizeof(AceHeader) <= acl->AclSize; ++i) {
    AceHeader header;
    std::memcpy(&header, base + offset, sizeof(header));
    if (header.AceSize < sizeof(AceHeader) || offset + header.AceSize > acl->AclSize) break;
    const char* name = reinterpret_cast<const char*>(base + offset + sizeof(AceHeader));
    size_t maxName = header.AceSize - sizeof(AceHeader);
    entries.push_back({header.AceType, header.Mask, std::string(name, strnlen(name, maxName))});
    offset += header.AceSize;
  }
  return entries;
}

std::vector<BYTE> SelfRelativeDescriptor(const std::vector<AccessEntry>& entries) {
  const std::vector<BYTE> aclBytes = BuildAclBytes(entries);
  SelfRelativeHeader header{SECURITY_DESCRIPTOR_REVISION, 0,
                            static_cast<WORD>(SE_SELF_RELATIVE | SE_DACL_PRESENT), 0, 0, 0,
                            static_cast<DWORD>(sizeof(SelfRelativeHeader))};
  std::vector<BYTE> bytes(sizeof(header) + aclBytes.size());
  std::memcpy(bytes.data(), &header, sizeof(header));
  if (!aclBytes.empty()) std::memcpy(bytes.data() + sizeof(header), aclBytes.data(), aclBytes.size());
  return bytes;
}

const ACL* DescriptorDacl(const void* descriptor, size_t size) {
  const auto* raw = static_cast<const BYTE*>(descriptor);
  WORD control = 0;
  std::memcpy(&control, raw + 2, sizeof(control));
  if (!(control & SE_DACL_PRESENT)) return nullptr;
  if (control & SE_SELF_RELATIVE) {
    SelfRelativeHeader header;
    std::memcpy(&header, raw, sizeof(header));
    if (header.OffsetDacl == 0 || header.OffsetDacl + sizeof(ACL) > size) return nullptr;
    return reinterpret_cast<const ACL*>(raw + header.OffsetDacl);
  }
  return static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Dacl;
}

std::string UserTrustee(std::uint32_t uid) { return kUserTrusteePrefix + std::to_string(uid); }

bool TrusteeUser(const std::string& trustee, std::uint32_t& uid) {
  const std::string_view prefix = kUserTrusteePrefix;
  if (!trustee.starts_with(prefix) || trustee.size() == prefix.size() || trustee.size() > prefix.size() + 10)
    return false;
  unsigned long long value = 0;
  for (char c : std::string_view(trustee).substr(prefix.size())) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > 0xFFFFFFFFull || (trustee[prefix.size()] == '0' && trustee.size() > prefix.size() + 1)) return false;
  uid = static_cast<std::uint32_t>(value);
  return true;
}

bool IsAdministrator() { return geteuid() == 0; }

DWORD GrantedRightsOf(const std::vector<BYTE>& descriptor, std::uint32_t uid, DWORD everyone) {
  if (uid == 0) return 0xFFFFFFFF;
  DWORD allowed = everyone, denied = 0;
  const ACL* acl =
      descriptor.size() < sizeof(SelfRelativeHeader) ? nullptr : DescriptorDacl(descriptor.data(), descriptor.size());
  for (const AccessEntry& entry : ReadAccessEntries(acl)) {
    std::uint32_t entryUid = 0;
    if (!TrusteeUser(entry.trustee, entryUid) || entryUid != uid) continue;
    (entry.type == 0 ? allowed : denied) |= entry.mask;
  }
  return allowed & ~denied;
}

DWORD GrantedRights(const std::vector<BYTE>& descriptor, DWORD everyone) {
  return GrantedRightsOf(descriptor, geteuid(), everyone);
}

}  // namespace platform

using platform::AccessEntry;

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted) {
  if (descriptor == nullptr || present == nullptr || dacl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const ACL* acl = platform::DescriptorDacl(descriptor);
  *present = acl != nullptr;
  *dacl = const_cast<PACL>(acl);
  if (defaulted != nullptr) *defaulted = FALSE;
  return TRUE;
}

void BuildExplicitAccessWithNameW(EXPLICIT_ACCESS_W* access, LPWSTR trusteeName, DWORD permissions,
                                  ACCESS_MODE mode, DWORD inheritance) {
  if (access == nullptr) return;
  *access = {};
  access->grfAccessPermissions = permissions;
  access->grfAccessMode = mode;
  access->grfInheritance = inheritance;
  access->Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access->Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  access->Trustee.ptstrName = trusteeName;
}

DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL oldAcl, PACL* newAcl) {
  if (newAcl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  std::vector<AccessEntry> aces = platform::ReadAccessEntries(oldAcl);
  for (ULONG i = 0; i < count; ++i) {
    const EXPLICIT_ACCESS_W& entry = entries[i];
    if (entry.Trustee.TrusteeForm != TRUSTEE_IS_NAME || entry.Trustee.ptstrName == nullptr)
      return ERROR_INVALID_PARAMETER;
    const std::string name = platform::WideToUtf8(entry.Trustee.ptstrName);
    const struct passwd* account = getpwnam(name.c_str());
    if (account == nullptr) return ERROR_NONE_MAPPED;
    const std::string user = platform::UserTrustee(account->pw_uid);
    auto drop = [&](BYTE type) {
      std::erase_if(aces, [&](const AccessEntry& a) { return (a.trustee == user || a.trustee == name) && a.type == type; });
    };
    switch (entry.grfAccessMode) {
      case SET_ACCESS:
        drop(0);
        aces.push_back({0, entry.grfAccessPermissions, user});
        break;
      case GRANT_ACCESS:
        aces.push_back({0, entry.grfAccessPermissions, user});
        break;
      case DENY_ACCESS:
        aces.insert(aces.begin(), {1, entry.grfAccessPermissions, user});
        break;
      case REVOKE_ACCESS:
        drop(0);
        drop(1);
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  std::vector<BYTE> bytes = BuildAclBytes(aces);
  // Freed by the caller with LocalFree, which releases with free().
  void* memory = std::malloc(bytes.size());
  if (memory == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(memory, bytes.data(), bytes.size());
  *newAcl = static_cast<PACL>(memory);
  return ERROR_SUCCESS;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (descriptor == nullptr || revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  *sd = {};
  sd->Revision = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL) {
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd == nullptr || sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  if (present) {
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = dacl;
  } else {
    sd->Control &= static_cast<WORD>(~SE_DACL_PRESENT);
    sd->Dacl = nullptr;
  }
  return TRUE;
}
