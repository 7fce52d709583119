// The client against the real bridge in build/ (CALBRIDGE_BINARY and
// CALBRIDGE_STORE_BINARY name others), on a store of its own.
const test = require("node:test");
const assert = require("node:assert/strict");
const { spawnSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { Calbridge, RequestError, InvalidError, DeniedError, FailedError, TimeoutError } = require("../dist/index.js");

const root = path.resolve(__dirname, "../../..");
const binary = process.env.CALBRIDGE_BINARY || path.join(root, "build/calbridge");
const storeTool = process.env.CALBRIDGE_STORE_BINARY || path.join(root, "build/calbridge-store");
const home = fs.mkdtempSync(path.join(os.tmpdir(), "calbridge-node-"));
const env = { PATH: process.env.PATH, HOME: home, XDG_DATA_HOME: home, TZ: "UTC" };
const bridge = new Calbridge({ binary, env });
test.after(() => fs.rmSync(home, { recursive: true, force: true }));

function store(...args) {
  const result = spawnSync(storeTool, args, { env, encoding: "utf8" });
  assert.equal(result.status, 0, result.stderr);
  return result.stdout.trim();
}
// The bridge's own answer to a request, bypassing the client's checks.
function raw(command, request) {
  const result = spawnSync(binary, [command], { env, input: JSON.stringify(request), encoding: "utf8" });
  return JSON.parse(result.stdout);
}

test("replies become data, and refusals typed errors", async () => {
  store("access", "deny");
  assert.deepEqual(await bridge.access(), { granted: false });
  await assert.rejects(bridge.events({ from: 0, to: 1, calendars: [] }), DeniedError);
  store("access", "grant");

  const { id } = await bridge.createCalendar({ title: "Node", color: "#2e8b57" });
  const listed = (await bridge.calendars()).find((calendar) => calendar.id === id);
  assert.deepEqual(listed, { id, title: "Node", color: "#2e8b57", writable: true, source: "On This Computer" });

  const day = 86_400;
  const start = 1_767_258_000;
  const { uid } = await bridge.createEvent({
    calendar: id, title: "Standup", start, end: start + 900, repeat: "daily", until: start + 4 * day, skip: [start + day],
  });
  const starts = async () =>
    (await bridge.events({ from: start, to: start + 7 * day, calendars: [id] })).map((event) => event.start);
  assert.deepEqual(await starts(), [start, start + 2 * day, start + 3 * day, start + 4 * day]);
  assert.deepEqual(await bridge.deleteEvent({ uid, calendar: id, start: start + 2 * day }), { deleted: 1 });
  assert.deepEqual(await starts(), [start, start + 3 * day, start + 4 * day]);

  const standard = JSON.parse(store("calendars")).find((calendar) => calendar.default).id;
  await assert.rejects(bridge.deleteCalendar({ calendar: standard }), InvalidError);
  assert.deepEqual(await bridge.deleteCalendar({ calendar: id }), { deleted: true });
});

test("a request the bridge would refuse is refused before sending, naming the field", async () => {
  store("access", "grant");
  const calendar = JSON.parse(store("calendars"))[0].id;
  const event = { calendar, start: 0, end: 3600 };
  const cases = [
    ["events", { to: 1, calendars: [] }, "from"],
    ["events", { from: "0", to: 1, calendars: [] }, "from"],
    ["events", { from: 5, to: 5, calendars: [] }, "to"],
    ["events", { from: 0, to: 38_880_000.5, calendars: [] }, "to"],
    ["events", { from: 0, to: 1 }, "calendars"],
    ["events", { from: 0, to: 1, calendars: [calendar, 7] }, "calendars[1]"],
    ["events", { from: 0, to: 1, calendars: Array(501).fill(calendar) }, "calendars"],
    ["createEvent", { start: 0, end: 1 }, "calendar"],
    ["createEvent", { ...event, end: 0 }, "end"],
    ["createEvent", { ...event, end: 86_401 }, "end"],
    ["createEvent", { ...event, repeat: "Daily" }, "repeat"],
    ["deleteEvent", { uid: "", calendar }, "uid"],
    ["deleteEvent", { uid: "x" }, "calendar"],
    ["createCalendar", { title: 7 }, "title"],
    ["deleteCalendar", {}, "calendar"],
  ];
  for (const [command, request, field] of cases) {
    await assert.rejects(bridge.send(command, request), (error) => error instanceof RequestError && error.field === field,
      `${command} ${JSON.stringify(request).slice(0, 80)}`);
    assert.equal(raw(command, request).error, "invalid", `the bridge on ${command} without ${field}`);
  }
  // The bridge ignores a skip list over the limit entirely (and replies "ok"); the client refuses it.
  const skips = { ...event, repeat: "daily", skip: Array.from({ length: 1001 }, (_, k) => k * 86_400) };
  await assert.rejects(bridge.createEvent(skips), (error) => error instanceof RequestError && error.field === "skip");

  // At the limits the bridge accepts, and so does the client.
  assert.deepEqual(await bridge.events({ from: 0, to: 38_880_000, calendars: Array(500).fill("none") }), []);
  const atLimit = { ...event, end: 86_400, repeat: "daily", skip: skips.skip.slice(1) };
  assert.equal(typeof (await bridge.createEvent(atLimit)).uid, "string");
});

test("a bridge that does not reply is killed at the timeout", async () => {
  const hanging = path.join(home, "hanging");
  fs.writeFileSync(hanging, "#!/bin/sh\nexec sleep 30\n", { mode: 0o755 });
  const slow = new Calbridge({ binary: hanging, env, timeoutMs: 200 });
  await assert.rejects(slow.events({ from: 0, to: 1, calendars: [] }), (error) =>
    error instanceof TimeoutError && error instanceof FailedError && error.code === "failed");
  await assert.rejects(new Calbridge({ binary: path.join(home, "absent"), env }).access(), FailedError);
});
