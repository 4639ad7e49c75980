// Who may change what the service runs and reads. The service runs with its
// own rights, not any user's; a file it trusts that a user may change, or a
// folder a user may add to, would let that user steer it.
#pragma once

#include <string>
#include <windows.h>

namespace belvor::bridge::win32 {

// Who besides the system and administrators may change a file or folder, or replace it.
struct Others {
    // The groups every local user is in, or may log on as (Everyone, Users, ...), that its DACL
    // lets: their names, ", " between them. No DACL lets everyone.
    std::string groups;
    // Its owner, who may rewrite the DACL, unless the system, administrators, TrustedInstaller or
    // self (the administrator installing).
    std::string owner;
};
Others OthersWhoMayChange(PSECURITY_DESCRIPTOR sd, PSID self);

// The same for the file or folder at path, self being this process's account; error: why its
// rights could not be read (ERROR_SUCCESS when they were).
Others OthersWhoMayChange(const std::string& path, DWORD& error);

// Makes the folder with the rights given as SDDL, or gives an existing one
// those rights (propagated to what it holds). False with GetLastError's code.
bool MakeFolder(const std::string& path, const std::string& sddl);

} // namespace belvor::bridge::win32
