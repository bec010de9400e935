// Runs the cases the test wrote into config.json through the shipped module,
// as a real extension calls the host, and hands what each one resolved or
// rejected with to the test's report host. The test judges; this only reports.
// The test copies deviceinfo.js in beside this file; Chromium and Firefox run both.
import { requestDeviceInfo } from "./deviceinfo.js";

const api = globalThis.browser ?? globalThis.chrome;

async function runCase({ name, hostName, keyBytes }) {
  try {
    return { name, document: await requestDeviceInfo({ runtime: api.runtime, hostName, keyBytes }) };
  } catch ({ kind, code, hostMessage, message }) {
    return { name, error: { kind, code, hostMessage, message } };
  }
}

(async () => {
  const config = await (await fetch(api.runtime.getURL("config.json"))).json();
  const results = [];
  for (const c of config.cases) results.push(await runCase(c));
  await api.runtime.sendNativeMessage(config.reportHost, { results });
})();
