#!/usr/bin/python3
"""Lists calendar files from other programs through calbridge and compares the
occurrences with an independent expander (python3-recurring-ical-events over
python3-icalendar).

For each file: a fresh store in a temporary XDG_DATA_HOME, access granted, one
calendar added, the file imported with `calbridge-store import`; when that
succeeds, `calbridge events` lists the calendar over windows of at most
38,880,000 s that cover the measured span, and the occurrences (start, end,
title, all-day flag) are compared as multisets with the expander's over the
same windows.

Measured span: each VEVENT contributes [DTSTART - 1 day, DTSTART + 10 years)
when it repeats (RRULE or RDATE) and [DTSTART - 1 day, DTSTART + 2 days) when
it does not; the union of these, clipped to the years 1800..2200, is what
both sides list.
An occurrence belongs to the span when its start lies in it, so events that
merely overlap a window edge are counted once, on both sides alike.

Both sides run under one fixed zone (--tz, Europe/Berlin by default): floating
date-times from the expander are read as local wall time in that zone and
dates (all-day) as local midnight, which is how calbridge lists them. With
--list-tz the import runs under --tz and the listing and the expander under
the other zone, which shows whether floating times follow whoever looks.

Classes, decided in this order:
- "not iCalendar": the frame is broken: NUL bytes, no BEGIN:VCALENDAR first
  (bare components are a calendar when one of them is a VEVENT: both sides
  read each run of them as one calendar), an END that closes no BEGIN, or a
  component never closed (a truncated file). calbridge is still asked, and a
  file it imports anyway is said so.
- "refused by calbridge": the import failed; its standard error line is shown.
- "refused by the expander": icalendar or recurring_ical_events raised; the
  file is not compared and adds nothing to the occurrence totals.
- "same": the two multisets are equal.
- "expander differs from RFC": a file in EXPANDER_DIFFERS_FROM_RFC below,
  where reading the file against RFC 5545 shows the expander to be wrong, or
  one where the only difference is the cancelled occurrences it lists.
- "different", with the likeliest cause: RECURRENCE-ID overrides, RDATE,
  edited copies (one UID in several VEVENTs without RECURRENCE-ID), zone,
  floating, duration, cancelled, title whitespace, or other; causes that
  explain only part of the gap follow as "also".
A window whose reply holds the 20,000 records calbridge sends at most is
split in two and asked again, so no occurrence is cut off.

Real-world exports are the files whose PRODID names a calendar program,
server or service (REAL_WORLD_PRODUCERS below); files written by iCalendar
libraries, by hand for a library's tests, or with made-up producers
(Example Corp., ACME, "test") are fixtures.

Exit status 0 for a measurement run. With --check MIN_FILES_PCT MIN_OCC_PCT
it is 1 when fewer than MIN_FILES_PCT percent of the real-world files import,
or fewer than MIN_OCC_PCT percent of the expander's occurrences over the whole
corpus are listed alike (files in EXPANDER_DIFFERS_FROM_RFC left out of that
share, since there the expander is the one in error).
"""

import argparse
import collections
import concurrent.futures
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import zoneinfo

import icalendar
import recurring_ical_events

PROJECT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEFAULT_CORPUS = os.path.join(PROJECT, "..", "shared", "interop", "corpus")
MAX_WINDOW = 38_880_000
MAX_RECORDS = 20_000
SERIES_SPAN = 10 * 365 * 86400 + 3 * 86400  # ten years, leap days included
SINGLE_SPAN = 2 * 86400
LEAD = 86400
SPAN_FLOOR = -5364662400  # 1800-01-01T00:00:00Z
SPAN_CEILING = 7258118400  # 2200-01-01T00:00:00Z

# A PRODID naming one of these is a file a calendar program, server or service
# exported. Libraries' own writers (icalendar, ical.js, iCalcreator, Data::ICal,
# icalendar-ruby), khal's test writer, zone generators (tzurl) and RFC-style
# made-up producers are left out on purpose: their files are test fixtures.
REAL_WORLD_PRODUCERS = [
    r"google", r"microsoft", r"outlook", r"exchange", r"mozilla", r"apple",
    r"ximian", r"evolution", r"zimbra", r"sabredav", r"nextcloud", r"owncloud",
    r"davx5", r"bitfire", r"cyrus", r"davmail", r"research in motion", r"etar",
    r"kerio", r"confluence", r"plone", r"podio", r"calendar labs", r"sixt",
    r"ns internationaal", r"reservas", r"offline calendar", r"events calendar//ical4j",
    r"yahoo", r"fastmail", r"radicale", r"baikal", r"horde", r"egroupware",
]
REAL_WORLD = re.compile(r"\b(?:" + "|".join(REAL_WORLD_PRODUCERS) + ")", re.IGNORECASE)

# Files where the expander's reading is not what RFC 5545 says; each was read
# by hand against the RFC. Paths are relative to the corpus folder.
_DATE_WITHOUT_END = ("DTSTART is a date with neither DTEND nor DURATION: RFC 5545 section 3.6.1 makes the event "
                     "last one day, the expander makes it end where it starts")
_CHANGE_OF_EXCLUDED = (
    "a changed occurrence (RECURRENCE-ID) of an occurrence that the newer copy of its series excludes: "
    "EXDATE takes it out of the recurrence set (RFC 5545 section 3.8.5.1), so the change names no "
    "occurrence and nothing is listed; the expander lists the change")
EXPANDER_DIFFERS_FROM_RFC = {
    "icalendar-events/event_with_recurrence.ics":
        "a floating DTSTART (01:00) with EXDATEs in UTC: floating time is the same clock time wherever it is "
        "looked at (RFC 5545 section 3.3.5), so each occurrence is at 01:00 local time and the UTC EXDATEs, 03:00 "
        "there, exclude none; the expander takes the start as 01:00 UTC",
    "icalendar/multiple_calendar_components.ics": _DATE_WITHOUT_END,
    "icalendar/issue_1426_value_parameters.ics": _DATE_WITHOUT_END,
    "icalendar/rfc_7265_appendix_example_1_ical.ics": _DATE_WITHOUT_END,
    "icaljs-parser/rfc.ics": _DATE_WITHOUT_END,
    "icaljs-samples/only_dtstart_date.ics": _DATE_WITHOUT_END,
    "recurring-ical-events/issue_179_example.ics": _DATE_WITHOUT_END,
    "recurring-ical-events/issue_107_omitting_last_event.ics":
        "UNTIL=20230608T170000Z is the 10:00 PDT start of 8 June; UNTIL is inclusive (RFC 5545 section 3.3.10), "
        "the expander drops that last occurrence",
    "icalendar/issue_313_globally_unique_tzid.ics":
        "TZIDs that name IANA zones behind globally unique prefixes (RFC 5545 section 3.2.19); the expander takes two of "
        "them as floating times, which by section 3.3.5 are only times without TZID",
    "khal/event_dt_mixed_awareness.ics":
        "a TZID on a value ending in Z (section 3.3.5 forbids the pair): the Z makes it UTC, the expander reads "
        "it as Europe/Berlin wall time",
    "recurring-ical-events/issue_75_range_parameter.ics":
        "RECURRENCE-ID;RANGE=THISANDFUTURE changes the later occurrences too (section 3.8.4.7); the expander "
        "applies it to one occurrence only; calbridge moves every later occurrence by as much as that one "
        "moved, with its title and length",
    "recurring-ical-events/issue_148_edge_case_1.ics": _CHANGE_OF_EXCLUDED,
    "recurring-ical-events/issue_163_deleted_modification.ics": _CHANGE_OF_EXCLUDED,
    "recurring-ical-events/issue_28_rrule_with_UTC_endinginZ.ics":
        "an all-day series whose UNTIL (Outlook's 23:00Z) is the London midnight that starts its last day; "
        "UNTIL is inclusive (RFC 5545 section 3.3.10), and the expander drops that last occurrence",
}

# The expander lists components whose STATUS is CANCELLED like any other; such
# an event "was cancelled" (RFC 5545 section 3.8.1.11) and no longer takes
# place, and calbridge leaves it out.
CANCELLED_LISTED = ("the expander lists occurrences whose STATUS is CANCELLED; they were cancelled "
                    "(RFC 5545 section 3.8.1.11) and calbridge leaves them out")

CLASSES = [
    "same", "different", "expander differs from RFC", "refused by calbridge",
    "refused by the expander", "not iCalendar",
]


def unfolded_lines(data):
    text = data.decode("utf-8", errors="replace").lstrip("\ufeff")
    text = re.sub(r"\r?\n[ \t]", "", text)
    return [line.rstrip("\r") for line in text.split("\n")]


def frame_fault(data, lines):
    """Why the file is not an iCalendar object at all, or None. Components
    written without a VCALENDAR around them (a bare VEVENT, as some programs
    write and paste them) are a calendar when one of them is an event, as
    calbridge reads them."""
    if b"\0" in data:
        return "binary (NUL bytes)"
    content = [line.strip().upper() for line in lines if line.strip()]
    bare_event = any(line == "BEGIN:VEVENT" for line in top_level_begins(content))
    if not content or (content[0] != "BEGIN:VCALENDAR" and not (content[0].startswith("BEGIN:") and bare_event)):
        return "no VCALENDAR frame (" + ("empty" if not content else content[0][:30]) + ")"
    open_components = []
    for line in content:
        if line.startswith("BEGIN:"):
            open_components.append(line[6:])
        elif line.startswith("END:"):
            if not open_components or open_components.pop() != line[4:]:
                return f"{line} closes no matching BEGIN"
    if open_components:
        return f"BEGIN:{open_components[-1]} is never closed (truncated)"
    return None


def top_level_begins(content):
    depth = 0
    for line in content:
        if line.startswith("BEGIN:"):
            if depth == 0:
                yield line
            depth += 1
        elif line.startswith("END:"):
            depth = max(0, depth - 1)


def in_calendars(data):
    """The file with each run of components outside a VCALENDAR inside one of
    its own, which is how calbridge reads it; the expander reads only calendars."""
    out, depth, wrapping = [], 0, False
    for line in data.splitlines(keepends=True):
        upper = line.strip().upper()
        if depth == 0 and upper.startswith(b"BEGIN:"):
            if upper != b"BEGIN:VCALENDAR" and not wrapping:
                out.append(b"BEGIN:VCALENDAR\r\n")
                wrapping = True
            elif upper == b"BEGIN:VCALENDAR" and wrapping:
                out.append(b"END:VCALENDAR\r\n")
                wrapping = False
        if upper.startswith(b"BEGIN:"):
            depth += 1
        elif upper.startswith(b"END:"):
            depth = max(0, depth - 1)
        out.append(line)
    if wrapping:
        out.append(b"END:VCALENDAR\r\n")
    return b"".join(out)


def is_real_world(lines):
    for line in lines:
        if line.upper().startswith("PRODID") and REAL_WORLD.search(line):
            return True
    return False


class Timeline:
    """Turns the expander's dates and date-times into calbridge's seconds."""

    def __init__(self, zone):
        self.zone = zoneinfo.ZoneInfo(zone)

    def seconds(self, value):
        if isinstance(value, datetime.datetime):
            if value.tzinfo is None or value.tzinfo.utcoffset(value) is None:
                value = value.replace(tzinfo=self.zone)
            return value.timestamp()
        return datetime.datetime(value.year, value.month, value.day, tzinfo=self.zone).timestamp()

    def local(self, seconds):
        return datetime.datetime.fromtimestamp(seconds, self.zone).strftime("%Y-%m-%d %H:%M:%S")

    def naive(self, seconds):
        return datetime.datetime.fromtimestamp(seconds, self.zone).replace(tzinfo=None)


def merged(intervals, gap=86400):
    out = []
    for start, end in sorted(intervals):
        if out and start <= out[-1][1] + gap:
            out[-1][1] = max(out[-1][1], end)
        else:
            out.append([start, end])
    return out


def measured_span(calendars, timeline):
    intervals = []
    for calendar in calendars:
        for event in calendar.walk("VEVENT"):
            if "DTSTART" not in event:
                continue
            start = timeline.seconds(event["DTSTART"].dt)
            repeats = "RRULE" in event or "RDATE" in event
            end = start + (SERIES_SPAN if repeats else SINGLE_SPAN)
            # A day of lead: a reader that places a time in another zone than
            # the one this reading assumes must still find it in the span.
            start -= LEAD
            start, end = max(start, SPAN_FLOOR), min(end, SPAN_CEILING)
            if start < end:
                intervals.append((int(start // 1), int(-(-end // 1))))
    return merged(intervals)


def expander_occurrences(calendars, span, timeline):
    """Occurrence -> count, and the occurrences that come from cancelled components."""
    found = collections.Counter()
    cancelled = collections.Counter()
    for calendar in calendars:
        unfolded = recurring_ical_events.of(calendar)
        for a, b in span:
            # The expander reads a naive span in each event's own zone; two days
            # of margin cover any offset, and the start filter below decides.
            for event in unfolded.between(timeline.naive(a - 2 * 86400), timeline.naive(b + 2 * 86400)):
                start_value = event["DTSTART"].dt
                end_value = event["DTEND"].dt if "DTEND" in event else start_value
                start = round(timeline.seconds(start_value))
                if not (a <= start < b):
                    continue
                all_day = not isinstance(start_value, datetime.datetime)
                key = (start, round(timeline.seconds(end_value)), str(event.get("SUMMARY", "")), all_day)
                found[key] += 1
                if str(event.get("STATUS", "")).upper() == "CANCELLED":
                    cancelled[key] += 1
    return found, cancelled


def run(command, env, stdin=None):
    return subprocess.run(command, input=stdin, env=env, capture_output=True, timeout=120)


def bridge_occurrences(binary, env, calendar, span):
    found = collections.Counter()

    def window(a, b):
        request = json.dumps({"from": a, "to": b, "calendars": [calendar]}).encode()
        reply = run([binary, "events"], env, request)
        answer = json.loads(reply.stdout)
        if not answer.get("ok"):
            raise RuntimeError(f"events {a}..{b}: {answer.get('error')}")
        records = answer["data"]
        if len(records) >= MAX_RECORDS and b - a > 1:
            middle = (a + b) // 2
            window(a, middle)
            window(middle, b)
            return
        for record in records:
            start = round(record["start"])
            if a <= start < b:
                found[(start, round(record["end"]), record.get("title") or "", bool(record["allDay"]))] += 1

    for a, b in span:
        for first in range(a, b, MAX_WINDOW):
            window(first, min(first + MAX_WINDOW, b))
    return found


def refusal_reason(stderr, path):
    lines = [line for line in stderr.decode("utf-8", errors="replace").splitlines() if line.strip()]
    if not lines:
        return "(no message)"
    reason = lines[-1]
    for prefix in ("calbridge-store: " + path + ": ", "calbridge-store: "):
        if reason.startswith(prefix):
            return reason[len(prefix):]
    return reason


def event_lines(lines):
    """The content lines of the VEVENTs, upper-cased names; VTIMEZONE rules are
    full of RDATEs and floating DTSTARTs that say nothing about the events."""
    events, current, depth = [], None, 0
    for line in lines:
        upper = line.strip().upper()
        if upper == "BEGIN:VEVENT":
            current, depth = [], 0
        elif upper == "END:VEVENT" and current is not None:
            events.append(current)
            current = None
        elif current is not None:
            if upper.startswith("BEGIN:"):
                depth += 1
            elif upper.startswith("END:"):
                depth -= 1
            elif depth == 0:
                current.append(line.strip())
    return events


def difference_category(lines, expected, listed, cancelled):
    """The likeliest cause first, then the other causes that shrink the gap."""
    def gap(a, b):
        return sum((a - b).values()) + sum((b - a).values())

    def mapped(counter, function):
        return collections.Counter(function(k) for k in counter.elements())

    events = event_lines(lines)
    names = [[line.split(":", 1)[0].split(";", 1)[0].upper() for line in event] for event in events]
    master_uids = collections.Counter(
        next((line.split(":", 1)[-1] for line in event if line.upper().startswith("UID")), None)
        for event, event_names in zip(events, names) if "RECURRENCE-ID" not in event_names)
    floating = re.compile(r"^(DTSTART|DTEND)(;VALUE=DATE-TIME)?:\d{8}T\d{6}$", re.IGNORECASE)
    structural = [
        ("RECURRENCE-ID overrides", any("RECURRENCE-ID" in n for n in names)),
        ("RDATE", any("RDATE" in n for n in names)),
        ("edited copies", any(count > 1 for uid, count in master_uids.items() if uid is not None)),
    ]
    base = gap(expected, listed)
    normalised = [
        ("title whitespace", gap(mapped(expected, lambda k: (k[0], k[1], k[2].strip(), k[3])),
                                 mapped(listed, lambda k: (k[0], k[1], k[2].strip(), k[3])))),
        ("cancelled", gap(expected - cancelled, listed)),
        ("duration", gap(mapped(expected, lambda k: (k[0], k[2], k[3])), mapped(listed, lambda k: (k[0], k[2], k[3])))),
        ("zone", gap(mapped(expected, lambda k: (k[1] - k[0], k[2], k[3])),
                     mapped(listed, lambda k: (k[1] - k[0], k[2], k[3])))),
    ]
    explains = [name for name, rest in normalised if rest == 0]
    # Moved overrides look like shifted times too, so "zone" counts only when
    # it accounts for every difference.
    shrinks = [name for name, rest in normalised if 0 < rest < base and name != "zone"]
    present = [name for name, flag in structural if flag]
    if any(floating.match(line) for event in events for line in event):
        present.append("floating")
    for name in ("title whitespace", "cancelled", "duration"):
        if name in explains:
            primary = name
            break
    else:
        primary = (present or explains or ["other"])[0]
    also = [name for name in present + explains + shrinks if name != primary]
    return primary, list(dict.fromkeys(also))


def round_trip(binary, store_tool, env, calendar, span, listed):
    """Exports the calendar, imports the export into a new one and lists that alike."""
    exported = run([store_tool, "export", "--calendar", calendar], env)
    if exported.returncode != 0:
        return "export failed: " + exported.stderr.decode(errors="replace").strip()
    added = run([store_tool, "calendar", "add", "--title", "Again"], env)
    again = added.stdout.decode().strip()
    imported = run([store_tool, "import", "--calendar", again, "-"], env, exported.stdout)
    if imported.returncode != 0:
        return "import of the export failed: " + imported.stderr.decode(errors="replace").strip()
    relisted = bridge_occurrences(binary, env, again, span)
    if relisted == listed:
        return "same"
    return f"{sum((listed - relisted).values())} occurrences lost, {sum((relisted - listed).values())} gained"


def examine(path, label, binary, store_tool, zone, list_zone, trip=False):
    """Measures one file; returns a plain dict so it crosses process boundaries."""
    result = {"file": label, "real": False, "expected": 0, "matched": 0, "listed": 0}
    with open(path, "rb") as handle:
        data = handle.read()
    lines = unfolded_lines(data)
    result["real"] = is_real_world(lines)
    fault = frame_fault(data, lines)
    timeline = Timeline(list_zone)

    expander_error = None
    expected = cancelled = collections.Counter()
    span = []
    try:
        if fault is not None:
            raise ValueError(fault)
        # A byte order mark is an encoding artefact, not content; the
        # expander's parser chokes on it, calbridge skips it.
        calendars = icalendar.Calendar.from_ical(in_calendars(data.removeprefix(b"\xef\xbb\xbf")), multiple=True)
        span = measured_span(calendars, timeline)
        expected, cancelled = expander_occurrences(calendars, span, timeline)
    except Exception as error:  # the expander's faults are measured, not fatal
        expander_error = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
        expected = cancelled = collections.Counter()
    result["expected"] = sum(expected.values())

    with tempfile.TemporaryDirectory(prefix="calbridge-corpus-") as home:
        env = dict(os.environ, XDG_DATA_HOME=home, TZ=zone, HOME=home)
        run([store_tool, "access", "grant"], env).check_returncode()
        added = run([store_tool, "calendar", "add", "--title", "T"], env)
        added.check_returncode()
        calendar = added.stdout.decode().strip()
        try:
            imported = run([store_tool, "import", "--calendar", calendar, path], env)
        except subprocess.TimeoutExpired:
            result["class"] = "refused by calbridge"
            result["reason"] = "import still running after 120 s"
            return result
        if fault is not None:
            result["class"] = "not iCalendar"
            result["reason"] = fault
            if imported.returncode == 0:
                result["reason"] += "; calbridge imported it nevertheless"
            return result
        if imported.returncode != 0:
            result["class"] = "refused by calbridge"
            result["reason"] = refusal_reason(imported.stderr, path)
            return result
        if expander_error is not None:
            result["class"] = "refused by the expander"
            result["reason"] = expander_error
            return result
        try:
            listed = bridge_occurrences(binary, dict(env, TZ=list_zone), calendar, span)
        except (subprocess.TimeoutExpired, ValueError, KeyError, RuntimeError) as error:
            # A listing that fails after a good import is calbridge's fault:
            # everything the expander found counts as missed.
            result["class"] = "different"
            result["reason"] = "events failed"
            result["detail"] = f"{type(error).__name__}: {error}"
            result.update(missing=[], extra=[], missing_count=result["expected"], extra_count=0)
            return result
        if trip:
            result["round_trip"] = round_trip(binary, store_tool, dict(env, TZ=list_zone), calendar, span, listed)

    result["listed"] = sum(listed.values())
    result["matched"] = sum((expected & listed).values())
    if expected == listed:
        result["class"] = "same"
        return result
    if label in EXPANDER_DIFFERS_FROM_RFC:
        result["class"] = "expander differs from RFC"
        result["reason"] = EXPANDER_DIFFERS_FROM_RFC[label]
    elif cancelled and expected - cancelled == listed:
        result["class"] = "expander differs from RFC"
        result["reason"] = CANCELLED_LISTED
    else:
        result["class"] = "different"
        result["reason"], result["also"] = difference_category(lines, expected, listed, cancelled)
    show = lambda key: f"{timeline.local(key[0])} .. {timeline.local(key[1])} {'all-day ' if key[3] else ''}{key[2]!r}"
    result["missing"] = [show(k) for k in sorted((expected - listed).elements())[:5]]
    result["extra"] = [show(k) for k in sorted((listed - expected).elements())[:5]]
    result["missing_count"] = sum((expected - listed).values())
    result["extra_count"] = sum((listed - expected).values())
    return result


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def summary(results, verbose, out):
    by_class = collections.Counter(r["class"] for r in results)
    real = [r for r in results if r["real"]]
    real_by_class = collections.Counter(r["class"] for r in real)
    print(f"{'class':<28}{'files':>7}{'real-world':>12}", file=out)
    for name in CLASSES:
        print(f"{name:<28}{by_class[name]:>7}{real_by_class[name]:>12}", file=out)
    print(f"{'all':<28}{len(results):>7}{len(real):>12}", file=out)
    empty = sum(1 for r in results if r["class"] == "same" and r["expected"] == 0)
    print(f"({empty} of the same files hold no event on either side)", file=out)

    def occurrences(group, title):
        expected = sum(r["expected"] for r in group)
        matched = sum(r["matched"] for r in group)
        extra = sum(r["listed"] - r["matched"] for r in group)
        print(f"{title}: {matched} of {expected} occurrences listed alike ({percent(matched, expected):.1f}%), "
              f"{extra} listed by calbridge only", file=out)
        return matched, expected

    occurrences(results, "whole corpus")
    occurrences(real, "real-world files")
    fair = [r for r in results if r["class"] != "expander differs from RFC"]
    occurrences(fair, "whole corpus without the files where the expander differs from RFC")

    categories = collections.Counter(r["reason"] for r in results if r["class"] == "different")
    if categories:
        print("different files by cause: " + ", ".join(f"{name} {count}" for name, count in categories.most_common()), file=out)
    unmatched = collections.Counter()
    for r in results:
        cause = r["reason"] if r["class"] == "different" else r["class"]
        unmatched[cause] += r["expected"] - r["matched"]
    unmatched = [(name, count) for name, count in unmatched.most_common() if count]
    if unmatched:
        print("expander occurrences not listed alike, by cause: " +
              ", ".join(f"{name} {count}" for name, count in unmatched), file=out)
    for r in sorted(results, key=lambda r: (CLASSES.index(r["class"]), r["file"])):
        if r["class"] == "same" and not verbose:
            continue
        if r["class"] == "not iCalendar" and not verbose and "nevertheless" not in r["reason"]:
            continue
        tag = " [real-world]" if r["real"] else ""
        line = f"{r['class']}: {r['file']}{tag}"
        if "reason" in r:
            line += f": {r['reason']}"
        if r.get("also"):
            line += " (also " + ", ".join(r["also"]) + ")"
        if r.get("detail"):
            line += f" [{r['detail']}]"
        if r["class"] in ("different", "expander differs from RFC"):
            line += f" ({r['matched']} of {r['expected']} alike, {r['missing_count']} missing, {r['extra_count']} extra)"
        print(line, file=out)
        if verbose:
            for item in r.get("missing", []):
                print(f"    expander only: {item}", file=out)
            for item in r.get("extra", []):
                print(f"    calbridge only: {item}", file=out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", help="files to measure (default: every .ics of the corpus folder)")
    parser.add_argument("--corpus", default=DEFAULT_CORPUS, help="folder of calendar files (default: %(default)s)")
    parser.add_argument("--build", default=os.path.join(PROJECT, "build"), help="folder with calbridge and calbridge-store")
    parser.add_argument("--tz", default="Europe/Berlin", help="zone both sides run in (default: %(default)s)")
    parser.add_argument("--list-tz", metavar="ZONE",
                        help="list (and expand) in this zone instead, after importing under --tz: floating times "
                             "and dates must then follow the zone that lists them")
    parser.add_argument("--jobs", type=int, default=2, help="files measured at once (default: %(default)s)")
    parser.add_argument("--verbose", action="store_true", help="every file, and the first differing occurrences")
    parser.add_argument("--json", metavar="FILE", help="also write every file's result to FILE")
    parser.add_argument("--round-trip", action="store_true",
                        help="also export each listed file's calendar, import the export and list it again")
    parser.add_argument("--check", nargs=2, type=float, metavar=("MIN_FILES_PCT", "MIN_OCC_PCT"),
                        help="fail below these shares of real-world files imported and occurrences alike")
    options = parser.parse_args()

    corpus = os.path.abspath(options.corpus)
    if options.files:
        paths = [os.path.abspath(f if os.path.exists(f) else os.path.join(corpus, f)) for f in options.files]
    else:
        paths = sorted(os.path.join(root, name) for root, _, names in os.walk(corpus)
                       for name in names if name.lower().endswith(".ics"))
    binary = os.path.join(options.build, "calbridge")
    store_tool = os.path.join(options.build, "calbridge-store")
    for tool in (binary, store_tool):
        if not os.access(tool, os.X_OK):
            sys.exit(f"compare.py: {tool} is not built")
    label = lambda p: os.path.relpath(p, corpus) if p.startswith(corpus + os.sep) else p

    with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        futures = [pool.submit(examine, p, label(p), binary, store_tool, options.tz, options.list_tz or options.tz,
                               options.round_trip)
                   for p in paths]
        results = [f.result() for f in futures]

    summary(results, options.verbose, sys.stdout)
    if options.round_trip:
        tripped = [r for r in results if "round_trip" in r]
        same = [r for r in tripped if r["round_trip"] == "same"]
        print(f"round trip (export, import, list): {len(same)} of {len(tripped)} listed files list the same")
        for r in tripped:
            if r["round_trip"] != "same":
                print(f"round trip differs: {r['file']}: {r['round_trip']}")
    if options.json:
        with open(options.json, "w") as handle:
            json.dump(results, handle, indent=1)

    if options.check:
        min_files, min_occurrences = options.check
        real = [r for r in results if r["real"]]
        imported = [r for r in real if r["class"] not in ("refused by calbridge", "not iCalendar")]
        fair = [r for r in results if r["class"] != "expander differs from RFC"]
        files_share = percent(len(imported), len(real))
        occurrence_share = percent(sum(r["matched"] for r in fair), sum(r["expected"] for r in fair))
        if files_share < min_files or occurrence_share < min_occurrences:
            print(f"check failed: {files_share:.1f}% of real-world files imported (at least {min_files}), "
                  f"{occurrence_share:.1f}% of occurrences alike (at least {min_occurrences})", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
