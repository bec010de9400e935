// Runs the cases the test wrote into config.json through the shipped client
// module (the test copies clients/js/deviceinfo.js beside this file), as a
// real extension asks the host, and posts what each gave to the test's
// loopback server. The test judges; this only reports.
import { requestDeviceInfo } from "./deviceinfo.js";

async function runCase(c) {
  try {
    return { name: c.name, document: await requestDeviceInfo({ runtime: chrome.runtime, ...c.options }) };
  } catch (e) {
    return { name: c.name, error: { kind: e.kind, code: e.code, hostMessage: e.hostMessage, message: String(e.message) } };
  }
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
