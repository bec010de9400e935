// node --test: the module against answers recorded from the real host
// (recorded-answers.json) and against broken ones.
import assert from "node:assert/strict";
import { webcrypto } from "node:crypto";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { DeviceInfoError, requestDeviceInfo } from "./deviceinfo.js";

globalThis.crypto ??= webcrypto; // Node 18 has WebCrypto, not yet as a global
const recorded = JSON.parse(readFileSync(new URL("recorded-answers.json", import.meta.url)));
const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Chromium's form: the answer (undefined on failure) to the callback, with
// lastError set while it runs.
const callbackForm = (answer, lastError) => ({
  sendNativeMessage(host, message, callback) {
    this.sent = message;
    setTimeout(() => ((this.lastError = lastError), callback(answer), (this.lastError = undefined)));
  },
});
// webextension-polyfill's form: a promise, and no third argument accepted.
const promiseForm = (answer, failure) => ({
  sendNativeMessage(host, message, ...rest) {
    if (rest.length) throw new TypeError("Expected at most 2 arguments for sendNativeMessage()");
    this.sent = message;
    return failure ? Promise.reject(failure) : Promise.resolve(answer);
  },
});

// While `fixedKey` is set, it is the key the module makes: each random byte
// is the alphabet index of its character.
let fixedKey = null;
const random = crypto.getRandomValues.bind(crypto);
crypto.getRandomValues = (bytes) =>
  fixedKey ? (bytes.set(Array.from(fixedKey, (c) => alphabet.indexOf(c))), bytes) : random(bytes);

async function encrypt(key, plain) {
  const k = await crypto.subtle.importKey("raw", new TextEncoder().encode(key), "AES-CBC", false, ["encrypt"]);
  const iv = new TextEncoder().encode("Hq4ZrW8nLc2VtK6p");
  const cipher = new Uint8Array(await crypto.subtle.encrypt({ name: "AES-CBC", iv }, k, typeof plain === "string" ? new TextEncoder().encode(plain) : plain));
  return { data: btoa(String.fromCharCode(...cipher)) };
}

test("recorded data answers give the document, in both forms of sendNativeMessage", async () => {
  for (const { key, answer, document } of recorded.data) {
    for (const form of [callbackForm, promiseForm]) {
      fixedKey = key;
      const runtime = form(answer);
      assert.deepEqual(await requestDeviceInfo({ runtime, keyBytes: key.length }), document);
      assert.deepEqual(runtime.sent, { command: "DeviceInfo", version: 1, key });
    }
  }
});

test("sizes as BigInt stay exact beyond 2^53", async () => {
  const key = recorded.data[2].key;
  const document = { ...recorded.data[2].document, mainMemory: 1, storageSize: 2 };
  const text = JSON.stringify(document).replace('"storageSize":2', '"storageSize": 9007199254740993');
  fixedKey = key;
  const info = await requestDeviceInfo({ runtime: callbackForm(await encrypt(key, text)), bigint: true });
  assert.deepEqual([info.mainMemory, info.storageSize], [1n, 9007199254740993n]);
});

test("every failure rejects with its kind", async () => {
  const [{ key }, other] = recorded.data;
  const notFound = { message: "Specified native messaging host not found." };
  const throwing = { sendNativeMessage: () => { throw new Error("Invalid native messaging host name specified."); } };
  const valid = JSON.stringify(recorded.data[0].document);
  const rows = [
    ["host error", callbackForm(recorded.error), { kind: "host", code: 701, message: /701: .*user name/ }],
    ["lastError", callbackForm(undefined, notFound), { kind: "browser", message: /not found/ }],
    ["promise rejected", promiseForm(undefined, new Error("No such native application")), { kind: "browser" }],
    ["sendNativeMessage throws", throwing, { kind: "browser", message: /Invalid native/ }],
    ["another key's answer", callbackForm(other.answer), { kind: "answer", message: /decrypt/ }],
    ["not Base64", callbackForm({ data: "%%%%" }), { kind: "answer", message: /decrypt/ }],
    ["not UTF-8", callbackForm(await encrypt(key, Uint8Array.of(0xff))), { kind: "answer" }],
    ["not JSON", callbackForm(await encrypt(key, valid.slice(0, -1))), { kind: "answer", message: /not JSON/ }],
    ["field missing", callbackForm(await encrypt(key, valid.replace('"deviceId"', '"device"'))),
      { kind: "answer", message: /valid deviceId$/ }],
    ["size as text", callbackForm(await encrypt(key, valid.replace(/("mainMemory":)(\d+)/, '$1"$2"'))),
      { kind: "answer", message: /valid mainMemory$/ }],
    ["neither shape", promiseForm({ errorCode: "2", errorMessage: "x" }), { kind: "answer" }],
    ["no answer", callbackForm(undefined), { kind: "answer" }],
  ];
  for (const [name, runtime, expected] of rows) {
    fixedKey = key;
    await assert.rejects(requestDeviceInfo({ runtime, keyBytes: 16 }), (e) => {
      assert.ok(e instanceof DeviceInfoError, name);
      const { kind, code, hostMessage, message } = e;
      assert.deepEqual({ kind, code }, { kind: expected.kind, code: expected.code ?? null }, name);
      assert.equal(hostMessage, expected.kind === "host" ? recorded.error.errorMessage : null, name);
      assert.match(message, expected.message ?? /./, name);
      return true;
    });
  }
});

test("each request has a fresh key of keyBytes one-byte characters; other sizes are refused", async () => {
  fixedKey = null;
  const keys = [];
  for (const keyBytes of [16, 24, 32, 32]) {
    const runtime = callbackForm(recorded.error);
    await assert.rejects(requestDeviceInfo({ runtime, keyBytes }), { kind: "host" });
    assert.match(runtime.sent.key, new RegExp(`^[A-Za-z0-9_-]{${keyBytes}}$`));
    keys.push(runtime.sent.key);
  }
  assert.equal(new Set(keys).size, keys.length);
  await assert.rejects(requestDeviceInfo({ runtime: callbackForm(recorded.error), keyBytes: 20 }), RangeError);
});
