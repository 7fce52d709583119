#include "ical/zone_names.h"

#include "calendar/time_zone.h"

namespace calbridge {

namespace {

constexpr WindowsZone kWindowsZones[] = {
    {"Dateline Standard Time", "Etc/GMT+12"},
    {"UTC-11", "Etc/GMT+11"},
    {"Hawaiian Standard Time", "Pacific/Honolulu"},
    {"Alaskan Standard Time", "America/Anchorage"},
    {"Pacific Standard Time (Mexico)", "America/Tijuana"},
    {"Pacific Standard Time", "America/Los_Angeles"},
    {"US Mountain Standard Time", "America/Phoenix"},
    {"Mountain Standard Time", "America/Denver"},
    {"Central America Standard Time", "America/Guatemala"},
    {"Central Standard Time", "America/Chicago"},
    {"Central Standard Time (Mexico)", "America/Mexico_City"},
    {"Canada Central Standard Time", "America/Regina"},
    {"SA Pacific Standard Time", "America/Bogota"},
    {"Eastern Standard Time", "America/New_York"},
    {"US Eastern Standard Time", "America/Indiana/Indianapolis"},
    {"Venezuela Standard Time", "America/Caracas"},
    {"Paraguay Standard Time", "America/Asuncion"},
    {"Atlantic Standard Time", "America/Halifax"},
    {"Central Brazilian Standard Time", "America/Cuiaba"},
    {"SA Western Standard Time", "America/La_Paz"},
    {"Pacific SA Standard Time", "America/Santiago"},
    {"Newfoundland Standard Time", "America/St_Johns"},
    {"E. South America Standard Time", "America/Sao_Paulo"},
    {"Argentina Standard Time", "America/Argentina/Buenos_Aires"},
    {"SA Eastern Standard Time", "America/Cayenne"},
    {"Montevideo Standard Time", "America/Montevideo"},
    {"Azores Standard Time", "Atlantic/Azores"},
    {"Cape Verde Standard Time", "Atlantic/Cape_Verde"},
    {"UTC", "UTC"},
    {"GMT Standard Time", "Europe/London"},
    {"Greenwich Standard Time", "Atlantic/Reykjavik"},
    {"Morocco Standard Time", "Africa/Casablanca"},
    {"W. Europe Standard Time", "Europe/Berlin"},
    {"Central Europe Standard Time", "Europe/Budapest"},
    {"Romance Standard Time", "Europe/Paris"},
    {"Central European Standard Time", "Europe/Warsaw"},
    {"W. Central Africa Standard Time", "Africa/Lagos"},
    {"Jordan Standard Time", "Asia/Amman"},
    {"GTB Standard Time", "Europe/Bucharest"},
    {"Middle East Standard Time", "Asia/Beirut"},
    {"Egypt Standard Time", "Africa/Cairo"},
    {"E. Europe Standard Time", "Europe/Chisinau"},
    {"Syria Standard Time", "Asia/Damascus"},
    {"South Africa Standard Time", "Africa/Johannesburg"},
    {"FLE Standard Time", "Europe/Kyiv"},
    {"Israel Standard Time", "Asia/Jerusalem"},
    {"Kaliningrad Standard Time", "Europe/Kaliningrad"},
    {"Namibia Standard Time", "Africa/Windhoek"},
    {"Arabic Standard Time", "Asia/Baghdad"},
    {"Turkey Standard Time", "Europe/Istanbul"},
    {"Arab Standard Time", "Asia/Riyadh"},
    {"Belarus Standard Time", "Europe/Minsk"},
    {"Russian Standard Time", "Europe/Moscow"},
    {"E. Africa Standard Time", "Africa/Nairobi"},
    {"Iran Standard Time", "Asia/Tehran"},
    {"Arabian Standard Time", "Asia/Dubai"},
    {"Azerbaijan Standard Time", "Asia/Baku"},
    {"Mauritius Standard Time", "Indian/Mauritius"},
    {"Georgian Standard Time", "Asia/Tbilisi"},
    {"Caucasus Standard Time", "Asia/Yerevan"},
    {"Afghanistan Standard Time", "Asia/Kabul"},
    {"West Asia Standard Time", "Asia/Tashkent"},
    {"Ekaterinburg Standard Time", "Asia/Yekaterinburg"},
    {"Pakistan Standard Time", "Asia/Karachi"},
    {"India Standard Time", "Asia/Kolkata"},
    {"Sri Lanka Standard Time", "Asia/Colombo"},
    {"Nepal Standard Time", "Asia/Kathmandu"},
    {"Bangladesh Standard Time", "Asia/Dhaka"},
    {"Myanmar Standard Time", "Asia/Yangon"},
    {"SE Asia Standard Time", "Asia/Bangkok"},
    {"N. Central Asia Standard Time", "Asia/Novosibirsk"},
    {"North Asia Standard Time", "Asia/Krasnoyarsk"},
    {"China Standard Time", "Asia/Shanghai"},
    {"North Asia East Standard Time", "Asia/Irkutsk"},
    {"Singapore Standard Time", "Asia/Singapore"},
    {"W. Australia Standard Time", "Australia/Perth"},
    {"Taipei Standard Time", "Asia/Taipei"},
    {"Ulaanbaatar Standard Time", "Asia/Ulaanbaatar"},
    {"Tokyo Standard Time", "Asia/Tokyo"},
    {"Korea Standard Time", "Asia/Seoul"},
    {"Yakutsk Standard Time", "Asia/Yakutsk"},
    {"Cen. Australia Standard Time", "Australia/Adelaide"},
    {"AUS Central Standard Time", "Australia/Darwin"},
    {"E. Australia Standard Time", "Australia/Brisbane"},
    {"AUS Eastern Standard Time", "Australia/Sydney"},
    {"West Pacific Standard Time", "Pacific/Port_Moresby"},
    {"Tasmania Standard Time", "Australia/Hobart"},
    {"Vladivostok Standard Time", "Asia/Vladivostok"},
    {"Magadan Standard Time", "Asia/Magadan"},
    {"New Zealand Standard Time", "Pacific/Auckland"},
    {"Fiji Standard Time", "Pacific/Fiji"},
    {"Tonga Standard Time", "Pacific/Tongatapu"},
    {"Samoa Standard Time", "Pacific/Apia"},
};

// A zone by its IANA name. Other files of the zone folder (localtime, the
// posix/ and right/ copies) would store a name that is not the zone's.
const Zone* byIanaName(ZoneCache& zones, std::string_view name) {
  for (std::string_view copies : {"posix/", "right/"}) {
    if (name.starts_with(copies)) name.remove_prefix(copies.size());
  }
  // A defined zone's name is the store's own, never a file's to use.
  if (name == "localtime" || name == "posixrules" || name.find("//") != std::string_view::npos ||
      name.ends_with('/') || isDefinedZoneName(name)) {
    return nullptr;
  }
  return zones.find(name);
}

}  // namespace

const Zone* zoneNamed(ZoneCache& zones, std::string_view name) {
  if (name.empty()) return nullptr;
  if (const Zone* zone = byIanaName(zones, name)) return zone;
  if (name.front() == '/') {
    for (auto slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
      std::string_view rest = name.substr(slash + 1);
      // Single words ("Berlin", "Japan") are too loose to take from a path.
      if (rest.find('/') == std::string_view::npos) break;
      if (const Zone* zone = byIanaName(zones, rest)) return zone;
    }
  }
  for (const auto& entry : kWindowsZones) {
    if (entry.windows == name) return zones.find(entry.iana);
  }
  return nullptr;
}

std::span<const WindowsZone> windowsZones() { return kWindowsZones; }

}  // namespace calbridge
