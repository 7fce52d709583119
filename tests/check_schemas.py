"""Checks docs/protocol/: every command has a request and a reply schema, each
is a valid draft 2020-12 schema, and each uses only keywords that mean the same
in draft-04, which the protocol tests' validator (RapidJSON) implements."""
import json
import pathlib
import sys

from jsonschema import Draft202012Validator

COMMANDS = ["access", "calendars", "events", "createEvent", "deleteEvent", "createCalendar", "deleteCalendar"]
SHARED_KEYWORDS = {"$schema", "title", "description", "type", "properties", "required", "additionalProperties",
                   "items", "enum", "minimum", "maxItems", "minLength", "pattern", "oneOf"}


def keywords(schema, path):
    for key, value in schema.items():
        if key not in SHARED_KEYWORDS:
            yield f"{path}: {key}"
        if key == "properties":
            for name, member in value.items():
                yield from keywords(member, f"{path}/properties/{name}")
        elif key == "oneOf":
            for index, branch in enumerate(value):
                yield from keywords(branch, f"{path}/oneOf/{index}")
        elif key in ("items", "additionalProperties") and isinstance(value, dict):
            yield from keywords(value, f"{path}/{key}")


folder = pathlib.Path(sys.argv[1])
expected = {f"{c}.{kind}.schema.json" for c in COMMANDS for kind in ("request", "reply")} | {"envelope.schema.json"}
problems = [f"missing: {name}" for name in sorted(expected - {p.name for p in folder.glob("*.json")})]
for path in sorted(folder.glob("*.json")):
    schema = json.loads(path.read_text())
    try:
        Draft202012Validator.check_schema(schema)
    except Exception as error:  # the message names the offending part
        problems.append(f"{path.name}: {error}")
    if schema.get("$schema") != "https://json-schema.org/draft/2020-12/schema":
        problems.append(f"{path.name}: $schema is not draft 2020-12")
    problems += [f"{path.name}{k}: not a keyword shared with draft-04" for k in keywords(schema, "")]
print("\n".join(problems) or f"{len(list(folder.glob('*.json')))} schemas checked")
sys.exit(1 if problems else 0)
