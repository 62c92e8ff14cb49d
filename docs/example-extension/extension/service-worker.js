// Forwards the requests of allowed web pages to the Varnell host, one host process per page.
//
// Whatever page this worker forwards for can have a message signed without the user being asked
// (the host signs with its stored PIN), so ALLOWED_ORIGINS is the guard: list exactly the origins
// (scheme, host and port, no path) of the pages you trust. "content_scripts" in manifest.json only
// says where the relay is injected; this list decides what reaches the host.
const ALLOWED_ORIGINS = ["http://127.0.0.1:8000"];
const HOST_NAME = "com.varnell.host";

// Each page's content script connects once; its port lives as long as the page. The host process
// started for it, and so the certificate the page selected, lives exactly as long.
chrome.runtime.onConnect.addListener((page) => {
  const sender = page.sender || {};
  const origin = sender.origin || (sender.url ? new URL(sender.url).origin : "");
  if (sender.id !== chrome.runtime.id || !ALLOWED_ORIGINS.includes(origin)) {
    page.onMessage.addListener((msg) => {
      page.postMessage({ id: msg.id, error: "The extension does not forward requests from " + origin + "." });
    });
    return;
  }

  let host = null;   // the page's native port, opened with its first request
  let waiting = [];  // ids of the requests sent to the host, oldest first: it answers in order

  const openHost = () => {
    const port = chrome.runtime.connectNative(HOST_NAME);
    port.onMessage.addListener((answer) => {
      page.postMessage({ id: waiting.shift(), answer });
    });
    port.onDisconnect.addListener(() => {
      // Chromium's own text: the host was not found, not allowed, did not start, or ended.
      const error = chrome.runtime.lastError ? chrome.runtime.lastError.message : "Native host has exited.";
      for (const id of waiting) page.postMessage({ id, error });
      waiting = [];
      if (host === port) host = null;  // a later request starts a new host (without a selection)
    });
    return port;
  };

  page.onMessage.addListener((msg) => {
    if (!msg || typeof msg.request !== "object" || msg.request === null) {
      page.postMessage({ id: msg && msg.id, error: "A request must be a JSON object." });
      return;
    }
    if (!host) host = openHost();
    try {
      host.postMessage(msg.request);
      waiting.push(msg.id);
    } catch (e) {  // the host has just ended; its disconnect is still on its way
      page.postMessage({ id: msg.id, error: e.message });
    }
  });

  // The page was closed, reloaded or left: end its host, which forgets its selection.
  page.onDisconnect.addListener(() => {
    if (host) host.disconnect();
    host = null;
    waiting = [];
  });
});
