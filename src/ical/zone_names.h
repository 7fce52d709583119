// Which zone a TZID names by its name alone, as calendar programs write them:
// an IANA name, the same behind a prefix ("/mozilla.org/20050126_1/Europe/Berlin")
// or in the globally unique form ("/Europe/Berlin"), or a Windows name as
// Outlook and Exchange write them ("W. Europe Standard Time"). The file reader
// and the editor of kept texts read TZIDs alike through this.
#pragma once

#include <span>
#include <string_view>

namespace calbridge {

class ZoneCache;
struct Zone;

// The zone `tzid` names, or null. Names the store keeps for itself (defined
// zones) and other files of the zone folder (localtime, the posix/ and right/
// copies) name none.
const Zone* zoneNamed(ZoneCache& zones, std::string_view tzid);

// Windows zone names and the IANA zone each stands for (the "001" territory
// of CLDR's windowsZones).
struct WindowsZone {
  std::string_view windows;
  std::string_view iana;
};
std::span<const WindowsZone> windowsZones();

}  // namespace calbridge
