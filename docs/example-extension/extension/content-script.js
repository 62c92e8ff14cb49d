// Passes the page's requests to the extension's service worker and its answers back.
// The page posts {channel: "varnell-request", id, request} to its own window; it gets
// {channel: "varnell-ack", id} at once and later {channel: "varnell-answer", id, answer} or
// {..., id, error} with the browser's or the extension's text. Injected at document_start, so that
// the listener is there before the page's own scripts run.
(() => {
  let worker = null;  // one port for the page's life: the worker keeps one host per port
  let sent = 0;
  const pending = new Map();  // our number of each request sent to the worker -> the page's id

  const reply = (data) => window.postMessage(Object.assign({ channel: "varnell-answer" }, data), location.origin);

  const connect = () => {
    const port = chrome.runtime.connect({ name: "varnell" });
    port.onMessage.addListener((msg) => {
      if (!pending.has(msg.id)) return;
      const id = pending.get(msg.id);
      pending.delete(msg.id);
      reply("error" in msg ? { id, error: msg.error } : { id, answer: msg.answer });
    });
    port.onDisconnect.addListener(() => {
      // The extension was reloaded or its worker stopped: the host (and its selection) went with it.
      for (const id of pending.values()) reply({ id, error: "The extension's connection ended." });
      pending.clear();
      if (worker === port) worker = null;
    });
    return port;
  };

  window.addEventListener("message", (event) => {
    // Only the page itself, not a frame inside it nor another window.
    if (event.source !== window || !event.data || event.data.channel !== "varnell-request") return;
    const { id, request } = event.data;
    window.postMessage({ channel: "varnell-ack", id }, location.origin);
    try {
      if (!worker) worker = connect();
      worker.postMessage({ id: sent + 1, request });
      pending.set(++sent, id);
    } catch (e) {  // the extension was reloaded or removed under this page
      worker = null;
      reply({ id, error: e.message });
    }
  });
})();
