#include "programs/bridge/win32_folders.h"

#include <aclapi.h>
#include <algorithm>
#include <iterator>
#include <sddl.h>
#include <vector>

namespace belvor::bridge::win32 {

namespace {

// Adding a file or folder, deleting one of its own or it, or changing its rights or owner:
// what lets a user put other content where the service looks.
constexpr ACCESS_MASK kChanges =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

struct Group {
    const char* sid;
    const char* name;
    bool everyUser; // in every local user's token: a deny for it applies to them all
};

constexpr Group kGroups[] = {
    {"S-1-1-0", "Everyone", true},
    {"S-1-5-11", "Authenticated Users", true},
    {"S-1-5-32-545", "Users", true},
    {"S-1-5-4", "INTERACTIVE", false},
    {"S-1-2-0", "LOCAL", false},
    {"S-1-5-113", "Local account", false},
    {"S-1-5-15", "This Organization", false},
    {"S-1-5-2", "NETWORK", false},
    {"S-1-5-32-546", "Guests", false},
    {"S-1-5-7", "ANONYMOUS LOGON", false},
};

bool IsSid(PSID sid, const char* text)
{
    PSID known = nullptr;
    if (!ConvertStringSidToSidA(text, &known))
        return false;
    const bool same = EqualSid(sid, known);
    LocalFree(known);
    return same;
}

// The system, administrators and TrustedInstaller, who own what Windows and its installers make.
constexpr const char* kTrustedOwners[] = {"S-1-5-18", "S-1-5-32-544",
                                          "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

std::string AccountName(PSID sid)
{
    char name[256], domain[256];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return *domain ? std::string(domain) + "\\" + name : std::string(name);
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "an unknown account";
    std::string result(text);
    LocalFree(text);
    return result;
}

// The group the SID is, if one of the above, or a domain's users or guests.
const Group* BroadGroup(PSID sid)
{
    static const Group kDomainUsers{nullptr, "Domain Users", true};
    static const Group kDomainGuests{nullptr, "Domain Guests", false};
    for (const Group& group : kGroups)
        if (IsSid(sid, group.sid))
            return &group;
    // S-1-5-21-<domain>-513 and -514.
    const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID_IDENTIFIER_AUTHORITY authority = GetSidIdentifierAuthority(sid);
    const UCHAR count = *GetSidSubAuthorityCount(sid);
    if (std::equal(nt.Value, nt.Value + 6, authority->Value) && count == 5 &&
        *GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE) {
        const DWORD rid = *GetSidSubAuthority(sid, 4);
        if (rid == DOMAIN_GROUP_RID_USERS)
            return &kDomainUsers;
        if (rid == DOMAIN_GROUP_RID_GUESTS)
            return &kDomainGuests;
    }
    return nullptr;
}

} // namespace

Others OthersWhoMayChange(PSECURITY_DESCRIPTOR sd, PSID self)
{
    Others others;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner && !(self && EqualSid(owner, self)) &&
        std::none_of(std::begin(kTrustedOwners), std::end(kTrustedOwners),
                     [owner](const char* trusted) { return IsSid(owner, trusted); }))
        others.owner = AccountName(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) {
        others.groups = "Everyone";
        return others;
    }
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    ACCESS_MASK denied = 0; // to every user, by the entries so far
    std::vector<const Group*> found;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) || (header->AceFlags & INHERIT_ONLY_ACE))
            continue; // an entry only for what the folder will hold
        // Allowed and denied entries share their layout up to the SID.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        const Group* group = BroadGroup(&ace->SidStart);
        if (!group)
            continue;
        ACCESS_MASK mask = ace->Mask;
        MapGenericMask(&mask, &mapping);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            if (group->everyUser)
                denied |= mask;
        } else if ((mask & kChanges & ~denied) &&
                   std::find(found.begin(), found.end(), group) == found.end()) {
            found.push_back(group);
        }
    }
    for (const Group* group : found)
        others.groups += (others.groups.empty() ? "" : ", ") + std::string(group->name);
    return others;
}

Others OthersWhoMayChange(const std::string& path, DWORD& error)
{
    std::vector<BYTE> self;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        self.resize(size);
        if (!GetTokenInformation(token, TokenUser, self.data(), size, &size))
            self.clear();
        CloseHandle(token);
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  nullptr, nullptr, &sd);
    if (error != ERROR_SUCCESS)
        return {};
    Others others =
        OthersWhoMayChange(sd, self.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(self.data())->User.Sid);
    LocalFree(sd);
    return others;
}

bool MakeFolder(const std::string& path, const std::string& sddl)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    bool made = CreateDirectoryA(path.c_str(), &attributes) != FALSE;
    if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        const DWORD error = SetNamedSecurityInfoA(
            const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
        made = error == ERROR_SUCCESS;
        SetLastError(error);
    }
    const DWORD error = GetLastError();
    LocalFree(sd);
    SetLastError(error);
    return made;
}

} // namespace belvor::bridge::win32
