// Types of deviceinfo.js, written by hand.

/** `chrome.runtime` or `browser.runtime`; callback or promise form of sendNativeMessage. */
export interface NativeMessagingRuntime {
  sendNativeMessage(...args: any[]): any;
  readonly lastError?: { message?: string } | null;
}

export interface RequestOptions {
  runtime: NativeMessagingRuntime;
  /** The name the host was registered under. Default "com.quorvia.deviceinfo". */
  hostName?: string;
  /** AES-256 by default; 24 (AES-192) fails with kind "browser" in Chromium, whose WebCrypto lacks it. */
  keyBytes?: 16 | 24 | 32;
  /** mainMemory and storageSize as exact BigInt instead of numbers (exact up to 2^53 - 1 bytes). */
  bigint?: boolean;
}

/** The host's device document. Sizes are in bytes. */
export interface DeviceInfo<Size extends number | bigint = number> {
  hostName: string;
  macAddress: string[];
  venderName: string;
  deviceName: string;
  cpuName: string;
  mainMemory: Size;
  storageSize: Size;
  osName: string;
  osVersion: string;
  authorizedOsUser: string;
  deviceId: string;
}

/**
 * "browser": the browser could not start or talk to the host (not registered, forbidden, not a
 * frame), or cannot use the key size. "host": the host answered with a coded error. "answer": the
 * answer does not decrypt, parse or hold the document.
 */
export type DeviceInfoErrorKind = "browser" | "host" | "answer";

export class DeviceInfoError extends Error {
  constructor(kind: DeviceInfoErrorKind, message: string,
              details?: { code?: number | null; hostMessage?: string | null; cause?: unknown });
  readonly name: "DeviceInfoError";
  readonly kind: DeviceInfoErrorKind;
  /** The host's error code, for kind "host"; otherwise null. */
  readonly code: number | null;
  /** The host's own (Japanese) text as sent, for kind "host"; otherwise null. */
  readonly hostMessage: string | null;
}

export function requestDeviceInfo(options: RequestOptions & { bigint: true }): Promise<DeviceInfo<bigint>>;
export function requestDeviceInfo(options: RequestOptions & { bigint?: false }): Promise<DeviceInfo<number>>;
