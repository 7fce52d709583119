// The few Node interfaces the client uses, declared here so that TypeScript is
// its only development dependency.
declare module "node:child_process" {
  interface Writable {
    end(data?: string): void;
    on(event: "error", listener: (error: Error) => void): this;
  }
  interface Readable {
    setEncoding(encoding: "utf8"): void;
    on(event: "data", listener: (chunk: string) => void): this;
  }
  interface ChildProcess {
    stdin: Writable;
    stdout: Readable;
    kill(signal?: string): boolean;
    on(event: "error", listener: (error: Error) => void): this;
    on(event: "close", listener: (code: number | null, signal: string | null) => void): this;
  }
  interface SpawnOptions {
    env?: Record<string, string | undefined>;
    stdio?: ["pipe", "pipe", "ignore"];
  }
  function spawn(command: string, args: readonly string[], options?: SpawnOptions): ChildProcess;
}

declare const process: { env: Record<string, string | undefined> };
declare function setTimeout(callback: () => void, milliseconds: number): unknown;
declare function clearTimeout(handle: unknown): void;
