// Brings a domain controller from the release it last ran to the current
// one: removes what older releases left behind, publishes the policy
// templates, redistributes the reminder and registers the mail task, then
// records the release so the work is done once per release.
#pragma once

#include "platform/text.h"

namespace zefa {

// The release this library installs.
inline const WChar* const kCurrentRelease = ZT("2.1.1");

// The product key and value that record the installed release.
inline const WChar* const kProductKey = ZT("HKLM\\Software\\Clavora");
inline const WChar* const kReleaseValue = ZT("Version");

// Releases compare as text, code unit by code unit: "2.0.10" is older than
// "2.0.4".
bool IsOlderRelease(const Text& release, const Text& than);

// The domain's folder on sysvol: the netlogon path with every "<sep>SCRIPTS"
// removed, in any letter case.
Text SysvolDomainFolder(const Text& netlogon_path);

// Runs the set-up for the folders the server initialisation has stored.
// Does nothing when the recorded release is current, or when the share
// folders are not known yet.
void SetupAndUpgrade();

}  // namespace zefa
