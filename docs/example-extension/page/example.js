// Select a certificate, show its SubjectDN, sign; on a failure show the host's description of it.
const $ = (id) => document.getElementById(id);

function show(text, failed) {
  $("status").textContent = text;
  $("status").className = failed ? "failed" : "";
}

// One request; an errorcode other than 0 is shown with GetLastErrorDesc's text and ends the step.
async function ask(name, params) {
  const answer = await varnell.call(name, params);
  if (answer.errorcode !== 0) {
    const desc = await varnell.call("GetLastErrorDesc", []);
    const text = desc.errorcode === 0 && desc.result ? desc.result : varnell.hex(answer.errorcode);
    throw new Error(name + " failed: " + text);
  }
  return answer.result;
}

// Buttons stay disabled while their request waits: the host answers one request at a time, and a
// SelectCertificate that shows the certificate window holds every later request until the user
// has chosen.
async function step(button, work) {
  button.disabled = true;
  try {
    await work();
  } catch (e) {
    show(e.message, true);
  } finally {
    button.disabled = false;
  }
}

$("select").addEventListener("click", () => step($("select"), async () => {
  show("Selecting (choose in the certificate window if one opens)...");
  $("subject-dn").textContent = "none";
  $("signature").textContent = "";
  await ask("SelectCertificate", [$("subject-filter").value, "", "", ""]);
  $("subject-dn").textContent = await ask("GetSignCertInfo", ["SubjectDN"]);
  show("Certificate selected.");
}));

$("sign").addEventListener("click", () => step($("sign"), async () => {
  show("Signing...");
  $("signature").textContent = "";
  $("signature").textContent = await ask("SignMsgPKCS7", [$("message").value, $("hash").value, $("attach").checked]);
  show("Signed.");
}));
