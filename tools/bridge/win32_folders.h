// Who may change what the service runs and reads. The service runs with its
// own rights, not any user's; a file it trusts that a user may change, or a
// folder a user may add to, would let that user steer it.
#pragma once

#include <string>
#include <windows.h>

namespace belvor::bridge::win32 {

// The groups every local user is in, or may log on as (Everyone, Users, ...),
// that sd lets change the file or folder it describes, or replace it: their
// names, ", " between them; empty when none. No DACL lets everyone.
std::string OthersWhoMayChange(PSECURITY_DESCRIPTOR sd);

// The same for the file or folder at path; error: why its rights could not
// be read (ERROR_SUCCESS when they were).
std::string OthersWhoMayChange(const std::string& path, DWORD& error);

// Makes the folder with the rights given as SDDL, or gives an existing one
// those rights (propagated to what it holds). False with GetLastError's code.
bool MakeFolder(const std::string& path, const std::string& sddl);

} // namespace belvor::bridge::win32
