#!/usr/bin/python3
"""The CalDAV benchmark's data set, and python3-caldav's side of it.

caldav_data.py write FOLDER COUNT zoned|plain
    COUNT calendar objects, one .ics file each, as a CalDAV server keeps them.
    "zoned": each event in one of three zones with the VTIMEZONE of that zone
    in its object, as calendar programs write them (Thunderbird's Europe/Berlin
    with X-LIC-LOCATION, an iPhone's America/New_York with its rules before and
    after 2007, a python3-caldav user's Australia/Sydney); "plain": the same
    events at the same instants in UTC, without any VTIMEZONE.
caldav_data.py upload CALENDAR_URL USER PASSWORD FOLDER
    PUTs every file of FOLDER into the calendar, four connections at once.
caldav_data.py first-sync SERVER_URL USER PASSWORD CALENDAR_URL
    What python3-caldav does for a first look at one calendar: discovery
    (principal, calendar home, calendars) and every event with its data (one
    calendar-query); prints the seconds it took and the count.
"""
import base64
import datetime
import http.client
import os
import sys
import threading
import time
import urllib.parse

BERLIN = """BEGIN:VTIMEZONE
TZID:Europe/Berlin
X-LIC-LOCATION:Europe/Berlin
BEGIN:DAYLIGHT
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
TZNAME:CEST
DTSTART:19700329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
TZNAME:CET
DTSTART:19701025T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE"""
NEW_YORK = """BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
RRULE:FREQ=YEARLY;UNTIL=20060402T070000Z;BYMONTH=4;BYDAY=1SU
DTSTART:19870405T020000
TZNAME:EDT
TZOFFSETTO:-0400
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
RRULE:FREQ=YEARLY;UNTIL=20061029T060000Z;BYMONTH=10;BYDAY=-1SU
DTSTART:19671029T020000
TZNAME:EST
TZOFFSETTO:-0500
END:STANDARD
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
DTSTART:20070311T020000
TZNAME:EDT
TZOFFSETTO:-0400
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
DTSTART:20071104T020000
TZNAME:EST
TZOFFSETTO:-0500
END:STANDARD
END:VTIMEZONE"""
SYDNEY = """BEGIN:VTIMEZONE
TZID:Australia/Sydney
BEGIN:STANDARD
DTSTART:20080406T030000
RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=4
TZNAME:AEST
TZOFFSETFROM:+1100
TZOFFSETTO:+1000
END:STANDARD
BEGIN:DAYLIGHT
DTSTART:20081005T020000
RRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=10
TZNAME:AEDT
TZOFFSETFROM:+1000
TZOFFSETTO:+1100
END:DAYLIGHT
END:VTIMEZONE"""
# Each zone with its standard and daylight offsets (hours) and when daylight
# time runs in 2026 (UTC), enough to write the same instant in UTC.
ZONES = [
    ("Europe/Berlin", BERLIN, 1, 2, (datetime.datetime(2026, 3, 29, 1), datetime.datetime(2026, 10, 25, 1))),
    ("America/New_York", NEW_YORK, -5, -4, (datetime.datetime(2026, 3, 8, 7), datetime.datetime(2026, 11, 1, 6))),
    ("Australia/Sydney", SYDNEY, 10, 11, None),
]


def sydney_daylight(utc):
    # Daylight time from the first Sunday of October to the first of April.
    return not (datetime.datetime(2026, 4, 4, 16) <= utc < datetime.datetime(2026, 10, 3, 16))


def write(folder, count, zoned):
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        day = datetime.date(2026, 1, 1) + datetime.timedelta(days=i % 365)
        hour = 8 + i % 10
        tzid, definition, standard, daylight, span = ZONES[i % 3]
        local = datetime.datetime(day.year, day.month, day.day, hour)
        utc = local - datetime.timedelta(hours=standard)
        in_daylight = sydney_daylight(utc) if span is None else span[0] <= utc < span[1]
        if in_daylight:
            utc = local - datetime.timedelta(hours=daylight)
        lines = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//calbridge//bench//EN"]
        if zoned:
            lines += definition.split("\n")
            times = [f"DTSTART;TZID={tzid}:{local:%Y%m%dT%H%M%S}",
                     f"DTEND;TZID={tzid}:{local + datetime.timedelta(minutes=30):%Y%m%dT%H%M%S}"]
        else:
            times = [f"DTSTART:{utc:%Y%m%dT%H%M%SZ}", f"DTEND:{utc + datetime.timedelta(minutes=30):%Y%m%dT%H%M%SZ}"]
        # Cyrus refuses one UID in two calendars of an account: each set its own.
        lines += ["BEGIN:VEVENT", f"UID:bench-{i}-{'zoned' if zoned else 'plain'}@example.org", "DTSTAMP:20260101T000000Z"] + times
        lines += [f"SUMMARY:Bench event {i}", "DESCRIPTION:Some text to make the object a realistic size\\, as people write",
                  "END:VEVENT", "END:VCALENDAR", ""]
        with open(os.path.join(folder, f"bench-{i}.ics"), "w", newline="") as f:
            f.write("\r\n".join(lines))


def upload(calendar_url, user, password, folder):
    url = urllib.parse.urlsplit(calendar_url)
    auth = "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()
    names = sorted(os.listdir(folder))
    failures = []

    def worker(part):
        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=120)
        for name in part:
            with open(os.path.join(folder, name), "rb") as f:
                body = f.read()
            connection.request("PUT", url.path + name, body=body,
                               headers={"Authorization": auth, "Content-Type": "text/calendar; charset=utf-8"})
            answer = connection.getresponse()
            answer.read()
            if answer.status not in (201, 204):
                failures.append(f"{name}: {answer.status}")
        connection.close()

    threads = [threading.Thread(target=worker, args=(names[k::4],)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise SystemExit("upload failed: " + ", ".join(failures[:5]))


def first_sync(server_url, user, password, calendar_url):
    import caldav
    import requests.auth
    start = time.monotonic()
    client = caldav.DAVClient(url=server_url, username=user, password=password,
                              auth=requests.auth.HTTPBasicAuth(user, password))
    wanted = urllib.parse.urlsplit(calendar_url).path.rstrip("/")
    calendars = client.principal().calendars()
    calendar = next(c for c in calendars if urllib.parse.urlsplit(str(c.url)).path.rstrip("/") == wanted)
    events = calendar.events()
    print(f"{time.monotonic() - start:.3f} {len(events)}")


def main():
    command, *rest = sys.argv[1:]
    if command == "write":
        write(rest[0], int(rest[1]), rest[2] == "zoned")
    elif command == "upload":
        upload(*rest)
    elif command == "first-sync":
        first_sync(*rest)
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main()
