// The extension's side of the Quorvia device-information host: one request
// with a fresh key, the answer told apart (browser failure, coded host error,
// broken answer), decrypted and parsed. No dependencies, so an extension can
// import the file as it is.

// The host's built-in IV. It is public and never changes, which is why every
// request must carry a key of its own.
const IV = new TextEncoder().encode("Hq4ZrW8nLc2VtK6p");

// The host turns the key text into bytes in the user's locale encoding. ASCII
// letters, digits, "-" and "_" are one byte in every such encoding, so the
// key is the same bytes on every machine; 64 of them let six random bits pick
// one without bias (six bits of key per byte: 192 bits for a 32-byte key).
const KEY_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

const TEXT_FIELDS = ["hostName", "venderName", "deviceName", "cpuName", "osName", "osVersion", "authorizedOsUser",
  "deviceId"];
const SIZE_FIELDS = ["mainMemory", "storageSize"];

export class DeviceInfoError extends Error {
  constructor(kind, message, { code = null, hostMessage = null, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "DeviceInfoError";
    this.kind = kind;
    this.code = code;
    this.hostMessage = hostMessage;
  }
}

// English for the host's codes; its own texts are Japanese.
function describeHostCode(code) {
  if (code === 1 || code === 2) return "the request was not valid";
  if (code === 3) return "the host does not know the command";
  if (code === 4) return "the host refused the request's version; update the extension";
  if (code === 11) return "COM could not be initialised";
  if (code === 27) return "the host refused the key";
  if (code >= 21 && code <= 34) return "the host could not encrypt the answer";
  const probe = code > 100 && code % 100 < 10 ? Math.floor(code / 100) : 0;
  const what = ["", "the computer name", "the network adapters", "the management data (maker, model, system)",
    "the processor name", "the memory size", "the disk capacity", "the user name"][probe];
  return what ? `the host could not read ${what}` : "the host reported an unknown error";
}

function randomKeyText(bytes) {
  const random = crypto.getRandomValues(new Uint8Array(bytes));
  const text = Array.from(random, (b) => KEY_ALPHABET[b & 63]).join("");
  random.fill(0);
  return text;
}

// Promise-only APIs (webextension-polyfill) refuse a third argument before
// they send anything; Chromium's and Firefox's own take the callback. Either
// way exactly one request leaves.
function send(runtime, hostName, message) {
  return new Promise((resolve, reject) => {
    const failed = (error) =>
      reject(new DeviceInfoError("browser", `The browser could not ask the host "${hostName}": ${error?.message ?? error}`,
        { cause: error }));
    const callback = (response) => {
      const error = runtime.lastError; // reading it also tells Chromium the failure was handled
      if (error) failed(error);
      else resolve(response);
    };
    try {
      let pending;
      try {
        pending = runtime.sendNativeMessage(hostName, message, callback);
      } catch {
        pending = runtime.sendNativeMessage(hostName, message);
      }
      if (typeof pending?.then === "function") pending.then(resolve, failed);
    } catch (error) {
      failed(error);
    }
  });
}

function broken(what, cause) {
  return new DeviceInfoError("answer", `The host's answer ${what}`, { cause });
}

// The host writes control characters as \u00XX; hosts from before that
// escaped only '"' and '\', so a control character the system handed them
// (a tab in a host name) arrived raw, which JSON does not allow inside a
// string: escape those before parsing (a strict answer stays as it is).
function strictJson(text) {
  return text.replace(/"(?:[^"\\]|\\.)*"/gs, (quoted) =>
    quoted.replace(/[\u0000-\u001f]/g, (c) => `\\u${c.charCodeAt(0).toString(16).padStart(4, "0")}`));
}

async function readDocument(data, key, bigint) {
  let text;
  try {
    const cipher = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
    const plain = new Uint8Array(await crypto.subtle.decrypt({ name: "AES-CBC", iv: IV }, key, cipher));
    try {
      text = strictJson(new TextDecoder("utf-8", { fatal: true }).decode(plain));
    } finally {
      plain.fill(0);
    }
  } catch (error) {
    throw broken("does not decrypt", error);
  }
  let info;
  try {
    info = JSON.parse(text);
  } catch (error) {
    throw broken("decrypts to text that is not JSON", error);
  }
  const wrong = [...TEXT_FIELDS.filter((f) => typeof info?.[f] !== "string"),
    ...SIZE_FIELDS.filter((f) => !Number.isInteger(info?.[f])),
    ...(Array.isArray(info?.macAddress) && info.macAddress.every((m) => typeof m === "string")
      ? [] : ["macAddress"])];
  if (wrong.length) throw broken(`decrypts to a document without a valid ${wrong.join(", ")}`);
  if (bigint) {
    // JSON.parse rounds integers above 2^53; the digits themselves are exact.
    // A key pattern cannot match inside a string value: its quotes are escaped there.
    for (const f of SIZE_FIELDS) info[f] = BigInt(text.match(new RegExp(`"${f}"\\s*:\\s*(-?\\d+)`))[1]);
  }
  return info;
}

export async function requestDeviceInfo({ runtime, hostName = "com.quorvia.deviceinfo", keyBytes = 32,
  bigint = false } = {}) {
  if (typeof runtime?.sendNativeMessage !== "function") {
    throw new TypeError("requestDeviceInfo needs { runtime: chrome.runtime } or { runtime: browser.runtime }");
  }
  if (![16, 24, 32].includes(keyBytes)) throw new RangeError("keyBytes must be 16, 24 or 32");
  const keyText = randomKeyText(keyBytes);
  const raw = new TextEncoder().encode(keyText);
  let key;
  try {
    // Before the host is asked: Chromium's WebCrypto has no AES-192, and a key
    // it cannot use must not leave at all.
    key = await crypto.subtle.importKey("raw", raw, "AES-CBC", false, ["decrypt"]);
  } catch (error) {
    throw new DeviceInfoError("browser",
      `This browser cannot decrypt with a ${keyBytes}-byte key (AES-${keyBytes * 8}); use keyBytes 32`, { cause: error });
  } finally {
    raw.fill(0);
  }
  const answer = await send(runtime, hostName, { command: "DeviceInfo", version: 1, key: keyText });
  if (Number.isInteger(answer?.errorCode) && typeof answer.errorMessage === "string") {
    throw new DeviceInfoError("host", `Quorvia host error ${answer.errorCode}: ${describeHostCode(answer.errorCode)}`,
      { code: answer.errorCode, hostMessage: answer.errorMessage });
  }
  if (typeof answer?.data !== "string") throw broken("is neither data nor a coded error");
  return readDocument(answer.data, key, bigint);
}
