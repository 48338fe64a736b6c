#include "platform/paths/KnownFolders.h"

#include <knownfolders.h>

namespace Kelmora::internal {

const KnownFolderPlaceholder kKnownFolderPlaceholders[kKnownFolderCount] = {
    {L"$(FOLDERID_Profile)", &FOLDERID_Profile},
    {L"$(FOLDERID_Desktop)", &FOLDERID_Desktop},
    {L"$(FOLDERID_Documents)", &FOLDERID_Documents},
    {L"$(FOLDERID_LocalAppDataLow)", &FOLDERID_LocalAppDataLow},
    {L"$(FOLDERID_LocalAppData)", &FOLDERID_LocalAppData},
    {L"$(FOLDERID_RoamingAppData)", &FOLDERID_RoamingAppData},
    {L"$(FOLDERID_ProgramData)", &FOLDERID_ProgramData},
    {L"$(FOLDERID_ProgramFiles)", &FOLDERID_ProgramFiles},
    {L"$(FOLDERID_ProgramFilesX64)", &FOLDERID_ProgramFilesX64},
    {L"$(FOLDERID_ProgramFilesX86)", &FOLDERID_ProgramFilesX86},
    {L"$(FOLDERID_ProgramFilesCommon)", &FOLDERID_ProgramFilesCommon},
    {L"$(FOLDERID_ProgramFilesCommonX64)", &FOLDERID_ProgramFilesCommonX64},
    {L"$(FOLDERID_ProgramFilesCommonX86)", &FOLDERID_ProgramFilesCommonX86},
};

std::wstring PlatformName(unsigned long platform) {
    switch (platform) {
        case 0:
            return L"win32";
        case 1:
            return L"x64";
        case 2:
            return L"PlatformUnknown";
        default:
            return std::wstring();
    }
}

}  // namespace Kelmora::internal
