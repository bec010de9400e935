// node --test: the module against the answers of recorded-answers.json (recorded from the real host, and
// broken ones), each through both forms of sendNativeMessage.
import assert from "node:assert/strict";
import { webcrypto } from "node:crypto";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { DeviceInfoError, requestDeviceInfo } from "./deviceinfo.js";

globalThis.crypto ??= webcrypto; // Node 18 has WebCrypto, not yet as a global
const { cases } = JSON.parse(readFileSync(new URL("recorded-answers.json", import.meta.url)));
const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// While `fixedKey` is set, it is the key the module makes: each random byte is the alphabet index of its character.
let fixedKey = null;
const random = crypto.getRandomValues.bind(crypto);
crypto.getRandomValues = (bytes) =>
  fixedKey ? (bytes.set(Array.from(fixedKey, (c) => alphabet.indexOf(c))), bytes) : random(bytes);

// Chromium's and Firefox's form: the answer (undefined on failure) to the callback, with lastError set while it
// runs. webextension-polyfill's: a promise, and no third argument accepted.
function runtime({ answer, failure, throws }, promise) {
  const rt = {
    sendNativeMessage(host, message, ...callback) {
      if (promise && callback.length) throw new TypeError("Expected at most 2 arguments for sendNativeMessage()");
      rt.sent = message;
      if (throws) throw new Error(failure);
      if (promise) return failure ? Promise.reject(new Error(failure)) : Promise.resolve(answer);
      setTimeout(() => ((rt.lastError = failure && { message: failure }), callback[0](answer), delete rt.lastError));
    },
  };
  return rt;
}

async function encrypt(key, plain) {
  const k = await crypto.subtle.importKey("raw", new TextEncoder().encode(key), "AES-CBC", false, ["encrypt"]);
  const iv = new TextEncoder().encode("Hq4ZrW8nLc2VtK6p"); // the host's
  const cipher = await crypto.subtle.encrypt({ name: "AES-CBC", iv }, k, Uint8Array.from(plain, (c) => c.charCodeAt()));
  return { data: btoa(String.fromCharCode(...new Uint8Array(cipher))) };
}

test("each answer resolves to its document or rejects with its kind, in both forms", async () => {
  for (const row of cases) {
    for (const promise of [false, true]) {
      const name = `${row.name} (${promise ? "promise" : "callback"})`;
      fixedKey = row.key ?? cases[0].key;
      const rt = runtime({ ...row, answer: row.plain ? await encrypt(fixedKey, row.plain) : row.answer }, promise);
      const call = requestDeviceInfo({ runtime: rt, keyBytes: fixedKey.length, bigint: row.bigint });
      if (row.error) {
        await assert.rejects(call, (e) => {
          const { kind, code = null, hostMessage: host = null, message } = row.error;
          assert.deepEqual([e.constructor, e.kind, e.code, e.hostMessage], [DeviceInfoError, kind, code, host], name);
          return assert.match(e.message, new RegExp(message), name) ?? true;
        });
      } else {
        const { mainMemory: m, storageSize: s } = row.document; // exact as text where bigint
        const sizes = row.bigint && { mainMemory: BigInt(m), storageSize: BigInt(s) };
        assert.deepEqual(await call, { ...row.document, ...sizes }, name);
      }
      assert.deepEqual(rt.sent, { command: "DeviceInfo", version: 1, key: fixedKey }, name);
    }
  }
});

test("each request has a fresh key of keyBytes one-byte characters; other sizes are refused", async () => {
  fixedKey = null;
  const keys = [];
  for (const keyBytes of [16, 24, 32, 32]) {
    const rt = runtime({ answer: {} }, false);
    await assert.rejects(requestDeviceInfo({ runtime: rt, keyBytes }), { kind: "answer" });
    keys.push(assert.match(rt.sent.key, new RegExp(`^[A-Za-z0-9_-]{${keyBytes}}$`)) ?? rt.sent.key);
  }
  assert.equal(new Set(keys).size, keys.length);
  await assert.rejects(requestDeviceInfo({ runtime: runtime({}, false), keyBytes: 20 }), RangeError);
});
