// Runs the cases the test wrote into config.json, each through
// runtime.sendNativeMessage as the real extension calls the host, decrypts
// data answers with WebCrypto, and hands everything to the test's report host.
// The test judges; this only reports. Chromium and Firefox run the same file.
const api = globalThis.browser ?? globalThis.chrome;
const builtInIv = new TextEncoder().encode("Hq4ZrW8nLc2VtK6p");

async function decrypt(keyText, base64) {
  const key = await crypto.subtle.importKey("raw", new TextEncoder().encode(keyText), { name: "AES-CBC" }, false, [
    "decrypt",
  ]);
  const cipher = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
  const plain = await crypto.subtle.decrypt({ name: "AES-CBC", iv: builtInIv }, key, cipher);
  return new TextDecoder("utf-8", { fatal: true }).decode(plain);
}

async function runCase(c) {
  const result = { name: c.name, response: null, error: null };
  try {
    result.response = (await api.runtime.sendNativeMessage(c.host, c.message)) ?? null;
  } catch (e) {
    result.error = e.message;
  }
  if (typeof result.response?.data === "string" && c.key) {
    try {
      result.document = await decrypt(c.key, result.response.data);
    } catch (e) {
      result.decryptError = `${e.name}: ${e.message}`;
    }
  }
  return result;
}

(async () => {
  const config = await (await fetch(api.runtime.getURL("config.json"))).json();
  const report = {};
  try {
    report.results = [];
    for (const c of config.cases) report.results.push(await runCase(c));
  } catch (e) {
    report.failure = String(e?.stack ?? e);
  }
  await api.runtime.sendNativeMessage(config.reportHost, report);
})();
