// The page's side of the example extension: varnell.call(name, params) sends one request to the
// Varnell host and resolves with its answer ({function, errorcode, result, ...}); it rejects with
// the browser's or the extension's text when the request never reached the host or the host went
// away. All requests of one page go to one host process, which answers them in order.
(() => {
  const pending = new Map();
  let next = 0;

  window.addEventListener("message", (event) => {
    const data = event.source === window ? event.data : null;
    const waiting = data && pending.get(data.id);
    if (!waiting) return;
    if (data.channel === "varnell-ack") {
      clearTimeout(waiting.timer);  // the extension has it; the answer may take long (a window)
    } else if (data.channel === "varnell-answer") {
      pending.delete(data.id);
      if ("error" in data) waiting.reject(new Error(data.error));
      else waiting.resolve(data.answer);
    }
  });

  const send = (request) =>
    new Promise((resolve, reject) => {
      const id = "varnell-" + ++next;
      const timer = setTimeout(() => {
        pending.delete(id);
        reject(new Error("The Varnell extension is not installed, or does not run on this page."));
      }, 3000);
      pending.set(id, { resolve, reject, timer });
      window.postMessage({ channel: "varnell-request", id, request }, location.origin);
    });

  window.varnell = {
    send,
    call: (name, params) => send({ function: name, params: params || [] }),
    // A code as GetLastErrorDesc prints it: -2147023673 gives "0x800704c7".
    hex: (code) => "0x" + (code >>> 0).toString(16).padStart(8, "0"),
  };
})();
