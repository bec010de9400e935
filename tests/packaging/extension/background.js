// Runs each case of cases.json through the shipped module (the test copies deviceinfo.js in beside this
// file), as a real extension calls the host, and hands what it resolved or rejected with to the test's
// report host. The test judges; this only reports.
import { requestDeviceInfo } from "./deviceinfo.js";

const api = globalThis.browser ?? globalThis.chrome;

(async () => {
  const { cases } = await (await fetch(api.runtime.getURL("cases.json"))).json();
  const results = [];
  for (const { name, hostName, keyBytes } of cases) {
    const call = requestDeviceInfo({ runtime: api.runtime, hostName, keyBytes });
    results.push(await call.then((document) => ({ name, document }),
      ({ kind, code, hostMessage, message }) => ({ name, error: { kind, code, hostMessage, message } })));
  }
  await api.runtime.sendNativeMessage("com.quorvia.report", { results });
})();
