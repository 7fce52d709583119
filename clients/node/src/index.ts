// A host's side of calbridge: one process per request, the request written and
// standard input closed (the bridge reads to end of file, so an open pipe
// would keep it waiting), the reply envelope turned into data or a typed error.
import { spawn } from "node:child_process";

export type ErrorCode = "invalid" | "denied" | "failed";

/** The bridge replied {"ok":false,"error":code}, or no reply could be had. */
export class BridgeError extends Error {
  readonly code: ErrorCode;
  constructor(code: ErrorCode, message: string) {
    super(message);
    this.name = new.target.name;
    this.code = code;
  }
}
export class InvalidError extends BridgeError {
  constructor(message = 'the bridge replied "invalid"') {
    super("invalid", message);
  }
}
export class DeniedError extends BridgeError {
  constructor(message = 'the bridge replied "denied": calendar permission is not given') {
    super("denied", message);
  }
}
export class FailedError extends BridgeError {
  constructor(message = 'the bridge replied "failed"') {
    super("failed", message);
  }
}
/** Refused before sending: `field` would have made the bridge reply "invalid", or been dropped by it. */
export class RequestError extends InvalidError {
  readonly field: string;
  constructor(field: string, problem: string) {
    super(`${field}: ${problem}`);
    this.field = field;
  }
}
/** The bridge did not reply in time and was killed; a change it was making may or may not have been made. */
export class TimeoutError extends FailedError {
  constructor(command: string, milliseconds: number) {
    super(`calbridge ${command} gave no reply within ${milliseconds} ms`);
  }
}

export interface CalendarRecord {
  id: string;
  title: string;
  /** "#rrggbb"; "#0082c9" when the calendar has no color. */
  color: string;
  writable: boolean;
  /** The title of the calendar's account; "" when it has none. */
  source: string;
}
export interface EventRecord {
  uid: string;
  title: string;
  /** Seconds since 1970-01-01T00:00:00Z. */
  start: number;
  end: number;
  allDay: boolean;
  calendar: string;
}
export type Repeat = "daily" | "weekdays" | "weekly" | "biweekly" | "monthly";

export interface EventsRequest {
  from: number;
  to: number;
  calendars: string[];
}
export interface CreateEventRequest {
  calendar: string;
  start: number;
  end: number;
  title?: string;
  repeat?: Repeat;
  until?: number;
  skip?: number[];
}
export interface DeleteEventRequest {
  uid: string;
  calendar: string;
  start?: number;
}
export interface CreateCalendarRequest {
  title: string;
  color?: string;
}
export interface DeleteCalendarRequest {
  calendar: string;
}
export type EmptyRequest = Record<string, never>;

export interface Requests {
  access: EmptyRequest;
  calendars: EmptyRequest;
  events: EventsRequest;
  createEvent: CreateEventRequest;
  deleteEvent: DeleteEventRequest;
  createCalendar: CreateCalendarRequest;
  deleteCalendar: DeleteCalendarRequest;
}
export interface Replies {
  access: { granted: boolean };
  calendars: CalendarRecord[];
  events: EventRecord[];
  createEvent: { uid: string };
  deleteEvent: { deleted: number };
  createCalendar: { id: string };
  deleteCalendar: { deleted: true };
}
export type Command = keyof Requests;

export const limits = {
  windowSeconds: 38_880_000,
  calendars: 500,
  eventSeconds: 86_400,
  skips: 1000,
} as const;
const repeats: readonly string[] = ["daily", "weekdays", "weekly", "biweekly", "monthly"];

type Members = Record<string, unknown>;

function numberField(request: Members, field: string, required: boolean): number | undefined {
  const value = request[field];
  if (value === undefined) {
    if (required) throw new RequestError(field, "missing");
    return undefined;
  }
  if (typeof value !== "number") throw new RequestError(field, "not a number");
  if (!Number.isFinite(value)) throw new RequestError(field, "not a finite number");
  return value;
}

function stringField(request: Members, field: string, required: boolean, nonEmpty = false): string | undefined {
  const value = request[field];
  if (value === undefined) {
    if (required) throw new RequestError(field, "missing");
    return undefined;
  }
  if (typeof value !== "string") throw new RequestError(field, "not a string");
  if (nonEmpty && value === "") throw new RequestError(field, "empty");
  return value;
}

function listField(request: Members, field: string, kind: "string" | "number", max: number): unknown[] | undefined {
  const value = request[field];
  if (value === undefined) return undefined;
  if (!Array.isArray(value)) throw new RequestError(field, "not an array");
  const index = value.findIndex((item) => typeof item !== kind || (kind === "number" && !Number.isFinite(item)));
  if (index >= 0) throw new RequestError(`${field}[${index}]`, `not a ${kind === "number" ? "finite number" : kind}`);
  if (value.length > max) throw new RequestError(field, `more than ${max} entries`);
  return value;
}

/**
 * Throws a RequestError naming the first field that would make the bridge reply
 * "invalid". What the bridge would silently drop is refused too: a skip list
 * over the limit (all of it ignored) and optional members of the wrong type.
 */
export function checkRequest<C extends Command>(command: C, request: Requests[C]): void {
  if (typeof request !== "object" || request === null || Array.isArray(request)) {
    throw new RequestError("(request)", "not an object");
  }
  const members = request as unknown as Members;
  switch (command as Command) {
    case "access":
    case "calendars":
      return;
    case "events": {
      const from = numberField(members, "from", true)!;
      const to = numberField(members, "to", true)!;
      if (!(to > from)) throw new RequestError("to", "not after from");
      if (to - from > limits.windowSeconds) throw new RequestError("to", "window over 450 days");
      if (listField(members, "calendars", "string", limits.calendars) === undefined) {
        throw new RequestError("calendars", "missing");
      }
      return;
    }
    case "createEvent": {
      stringField(members, "calendar", true);
      const start = numberField(members, "start", true)!;
      const end = numberField(members, "end", true)!;
      if (!(end > start)) throw new RequestError("end", "not after start");
      if (end - start > limits.eventSeconds) throw new RequestError("end", "longer than a day after start");
      stringField(members, "title", false);
      const repeat = stringField(members, "repeat", false);
      if (repeat !== undefined && repeat !== "" && !repeats.includes(repeat)) {
        throw new RequestError("repeat", `not one of ${repeats.join(", ")}`);
      }
      numberField(members, "until", false);
      listField(members, "skip", "number", limits.skips);
      return;
    }
    case "deleteEvent":
      stringField(members, "uid", true, true);
      stringField(members, "calendar", true);
      numberField(members, "start", false);
      return;
    case "createCalendar":
      stringField(members, "title", true, true);
      stringField(members, "color", false);
      return;
    case "deleteCalendar":
      stringField(members, "calendar", true, true);
      return;
    default:
      throw new RequestError("(command)", `no command ${String(command)}`);
  }
}

export interface BridgeOptions {
  /** The bridge to start; "calbridge" from PATH by default. */
  binary?: string;
  /** How long a request may take before the bridge is killed (default 20 s). */
  timeoutMs?: number;
  /** The same for "access" and "calendars", which may ask the person (up to 120 s; default 130 s). */
  askTimeoutMs?: number;
  /** The bridge's environment (default: this process's). */
  env?: Record<string, string | undefined>;
}

function errorFor(code: unknown): BridgeError {
  if (code === "invalid") return new InvalidError();
  if (code === "denied") return new DeniedError();
  return new FailedError(code === "failed" ? undefined : `the bridge replied an unknown error ${JSON.stringify(code)}`);
}

export class Calbridge {
  private readonly binary: string;
  private readonly timeoutMs: number;
  private readonly askTimeoutMs: number;
  private readonly env: Record<string, string | undefined>;

  constructor(options: BridgeOptions = {}) {
    this.binary = options.binary ?? "calbridge";
    this.timeoutMs = options.timeoutMs ?? 20_000;
    this.askTimeoutMs = options.askTimeoutMs ?? 130_000;
    this.env = options.env ?? process.env;
  }

  access(): Promise<Replies["access"]> {
    return this.send("access", {});
  }
  calendars(): Promise<CalendarRecord[]> {
    return this.send("calendars", {});
  }
  events(request: EventsRequest): Promise<EventRecord[]> {
    return this.send("events", request);
  }
  createEvent(request: CreateEventRequest): Promise<Replies["createEvent"]> {
    return this.send("createEvent", request);
  }
  deleteEvent(request: DeleteEventRequest): Promise<Replies["deleteEvent"]> {
    return this.send("deleteEvent", request);
  }
  createCalendar(request: CreateCalendarRequest): Promise<Replies["createCalendar"]> {
    return this.send("createCalendar", request);
  }
  deleteCalendar(request: DeleteCalendarRequest): Promise<Replies["deleteCalendar"]> {
    return this.send("deleteCalendar", request);
  }

  /** Checks the request, runs `calbridge COMMAND` on it and resolves to the reply's data. */
  send<C extends Command>(command: C, request: Requests[C]): Promise<Replies[C]> {
    try {
      checkRequest(command, request);
    } catch (error) {
      return Promise.reject(error);
    }
    const timeout = command === "access" || command === "calendars" ? this.askTimeoutMs : this.timeoutMs;
    return new Promise<Replies[C]>((resolve, reject) => {
      const child = spawn(this.binary, [command], { env: this.env, stdio: ["pipe", "pipe", "ignore"] });
      let output = "";
      let settled = false;
      const settle = (outcome: () => void) => {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        outcome();
      };
      const timer = setTimeout(() => {
        child.kill("SIGKILL");
        settle(() => reject(new TimeoutError(command, timeout)));
      }, timeout);
      child.on("error", (error) =>
        settle(() => reject(new FailedError(`cannot start ${this.binary}: ${error.message}`))),
      );
      // A bridge that exits before reading everything closes the pipe; its reply still decides.
      child.stdin.on("error", () => undefined);
      child.stdout.setEncoding("utf8");
      child.stdout.on("data", (chunk) => {
        output += chunk;
      });
      child.on("close", () =>
        settle(() => {
          let envelope: unknown;
          try {
            envelope = JSON.parse(output);
          } catch {
            reject(new FailedError(`calbridge ${command} wrote no JSON reply`));
            return;
          }
          const reply = envelope as { ok?: unknown; data?: unknown; error?: unknown } | null;
          if (reply !== null && reply.ok === true && "data" in reply) resolve(reply.data as Replies[C]);
          else if (reply !== null && reply.ok === false) reject(errorFor(reply.error));
          else reject(new FailedError(`calbridge ${command} wrote no reply envelope`));
        }),
      );
      child.stdin.end(JSON.stringify(request));
    });
  }
}
