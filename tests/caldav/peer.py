#!/usr/bin/python3
"""Another CalDAV client (python3-caldav), so tests change a server the way
someone else's program would, not through the code under test.

peer.py URL USER PASSWORD COMMAND ARGS...
  mkcal ID NAME                 a calendar below the principal's home; prints its URL
  rmcal CAL_URL                 deletes a calendar
  rename CAL_URL NAME           gives a calendar a new display name
  put CAL_URL UID SUMMARY       a new event (or a new version of it)
  series CAL_URL UID SUMMARY    a new daily series from 2026-01-10 09:00 UTC, 30 minutes each
  remove CAL_URL UID            deletes the event with that UID
  bulk CAL_URL COUNT            COUNT new events, one PUT each
  big CAL_URL UID BYTES         a new event with a DESCRIPTION of BYTES bytes, folded
  list CAL_URL                  fetches every event; prints how many
  calendars                     the display names of the principal's calendars, one a line, sorted
  get CAL_URL UID               the text of the object holding UID
  describe CAL_URL UID TEXT     gives every VEVENT of that object a DESCRIPTION (its only one)
  override CAL_URL UID RID START  adds a changed occurrence: the one of the series
                                at RID (UTC, 20260110T090000Z) moved to START, 30 minutes long
"""
import sys

import caldav
import requests.auth

EVENT = """BEGIN:VCALENDAR\r
VERSION:2.0\r
PRODID:-//peer//test//EN\r
BEGIN:VEVENT\r
UID:{uid}\r
DTSTAMP:20260101T000000Z\r
DTSTART:20260110T{hour:02d}0000Z\r
DTEND:20260110T{hour:02d}3000Z\r
SUMMARY:{summary}\r
END:VEVENT\r
END:VCALENDAR\r
"""


def main():
    url, user, password, command, *rest = sys.argv[1:]
    # Credentials go with the first request: Cyrus answers an anonymous
    # PROPFIND with an "unauthenticated" principal rather than a 401.
    client = caldav.DAVClient(url=url, username=user, password=password,
                              auth=requests.auth.HTTPBasicAuth(user, password))
    if command == "mkcal":
        cal = client.principal().make_calendar(name=rest[1], cal_id=rest[0])
        print(cal.url)
    elif command == "rmcal":
        client.calendar(url=rest[0]).delete()
    elif command == "rename":
        from caldav.elements import dav
        client.calendar(url=rest[0]).set_properties([dav.DisplayName(rest[1])])
    elif command == "put":
        cal = client.calendar(url=rest[0])
        cal.save_event(EVENT.format(uid=rest[1], summary=rest[2], hour=9))
    elif command == "series":
        cal = client.calendar(url=rest[0])
        text = EVENT.format(uid=rest[1], summary=rest[2], hour=9)
        cal.save_event(text.replace("SUMMARY:", "RRULE:FREQ=DAILY\r\nSUMMARY:"))
    elif command == "remove":
        cal = client.calendar(url=rest[0])
        cal.event_by_uid(rest[1]).delete()
    elif command == "bulk":
        cal = client.calendar(url=rest[0])
        for i in range(int(rest[1])):
            cal.save_event(EVENT.format(uid=f"bulk-{i}", summary=f"Event {i}", hour=i % 24))
    elif command == "big":
        cal = client.calendar(url=rest[0])
        line = "DESCRIPTION:" + "x" * int(rest[2])
        folded = "\r\n ".join([line[:75]] + [line[i:i + 74] for i in range(75, len(line), 74)])
        text = EVENT.format(uid=rest[1], summary="Big", hour=9)
        cal.save_event(text.replace("END:VEVENT", folded + "\r\nEND:VEVENT"))
    elif command == "list":
        cal = client.calendar(url=rest[0])
        print(len(cal.events()))
    elif command == "calendars":
        names = [c.get_display_name() or "" for c in client.principal().calendars()]
        print("\n".join(sorted(names)))
    elif command == "get":
        print(client.calendar(url=rest[0]).event_by_uid(rest[1]).data)
    elif command in ("describe", "override"):
        ev = client.calendar(url=rest[0]).event_by_uid(rest[1])
        text = ev.data.replace("\r\n", "\n").rstrip("\n") + "\n"
        if command == "describe":
            text = "".join(l for l in text.splitlines(True) if not l.startswith("DESCRIPTION:"))
            text = text.replace("END:VEVENT\n", "DESCRIPTION:" + rest[2] + "\nEND:VEVENT\n")
        else:
            end = rest[3][:11] + "30" + rest[3][13:]
            block = (f"BEGIN:VEVENT\nUID:{rest[1]}\nDTSTAMP:20260101T000000Z\nRECURRENCE-ID:{rest[2]}\n"
                     f"DTSTART:{rest[3]}\nDTEND:{end}\nSUMMARY:Moved\nEND:VEVENT\n")
            text = text.replace("END:VCALENDAR\n", block + "END:VCALENDAR\n")
        ev.data = text.replace("\n", "\r\n")
        ev.save()
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main()
