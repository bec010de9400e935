// Runs the cases the test wrote into config.json, each through
// chrome.runtime.sendNativeMessage as the real extension calls the host,
// decrypts data answers with WebCrypto, and posts everything to the test's
// loopback server. The test judges; this only reports.
const builtInIv = new TextEncoder().encode("Hq4ZrW8nLc2VtK6p");

function sendNative(host, message) {
  return new Promise((resolve) => {
    chrome.runtime.sendNativeMessage(host, message, (response) => {
      const error = chrome.runtime.lastError ? chrome.runtime.lastError.message : null;
      resolve({ response: response === undefined ? null : response, error });
    });
  });
}

async function decrypt(keyText, base64) {
  const key = await crypto.subtle.importKey("raw", new TextEncoder().encode(keyText), { name: "AES-CBC" }, false, [
    "decrypt",
  ]);
  const cipher = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  const plain = await crypto.subtle.decrypt({ name: "AES-CBC", iv: builtInIv }, key, cipher);
  return new TextDecoder("utf-8", { fatal: true }).decode(plain);
}

async function runCase(c) {
  const started = Date.now();
  const { response, error } = await sendNative(c.host, c.message);
  const result = { name: c.name, response, error, milliseconds: Date.now() - started };
  if (response && typeof response.data === "string" && c.key) {
    try {
      result.document = await decrypt(c.key, response.data);
      result.documentKeys = Object.keys(JSON.parse(result.document));
    } catch (e) {
      result.decryptError = String(e);
    }
  }
  return result;
}

async function report(config, body) {
  await fetch(`http://127.0.0.1:${config.port}/report`, { method: "POST", body: JSON.stringify(body) });
}

(async () => {
  const config = await (await fetch(chrome.runtime.getURL("config.json"))).json();
  try {
    const results = [];
    for (const c of config.cases) results.push(await runCase(c));
    await report(config, { extensionId: chrome.runtime.id, results });
  } catch (e) {
    await report(config, { extensionId: chrome.runtime.id, failure: String(e && e.stack ? e.stack : e) });
  }
})();
