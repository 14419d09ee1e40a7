// The viewer: lists the displays, shares the chosen one and plays the H.264
// stream with WebCodecs. Every message from the helper arrives here through
// the service worker; requests go back the same way.
const $ = (id) => document.getElementById(id);
const canvas = $("screen");
const context = canvas.getContext("2d", { willReadFrequently: true });

// A test can watch the viewer (selftest.js); these do nothing otherwise.
export const hooks = { message() {}, decoded() {} };

let port = null; // to the service worker, which holds the helper's port
let share = ""; // identifier of the share we started; acks must carry it
let decoder = null;
let decoded = 0;
const frameIds = new Map(); // chunk timestamp -> frame id, until decoded

// Words for the user when the helper cannot be reached at all.
const UNREACHABLE = {
  "Specified native messaging host not found.":
    "The Tavrino Share Helper is not installed. Install it with Tavrino Sharing Setup, then click Try Again.",
  "Access to the specified native messaging host is forbidden.":
    "This extension may not use the Tavrino Share Helper. Install the helper again with Tavrino Sharing Setup.",
};
const STOPPED_UNEXPECTEDLY = "The Tavrino Share Helper stopped unexpectedly. Click Try Again to reconnect.";

function connect() {
  port = chrome.runtime.connect({ name: "viewer" });
  port.onMessage.addListener(receive);
  show("Connecting to the Tavrino Share Helper…");
}

function send(command, extra = {}) {
  port.postMessage({ command, request: extra.request ?? crypto.randomUUID(), ...extra });
}

function show(text, { error = false, retry = null } = {}) {
  $("status").textContent = text;
  $("status").className = error ? "error" : "";
  $("retry").hidden = !retry;
  $("retry").onclick = retry;
}

function sharing(active) {
  $("start").disabled = active || $("displays").options.length === 0;
  $("displays").disabled = active;
  $("stop").disabled = !active;
}

export function start(display) {
  share = crypto.randomUUID();
  decoded = 0;
  $("stats").textContent = "";
  sharing(true);
  send("start", { request: share, display });
  show("Starting the share…");
}

export function stop() {
  send("stop");
}

function receive(message) {
  hooks.message(message);
  switch (message.type) {
    case "hello":
      send("sources");
      break;
    case "sources": {
      const list = $("displays");
      list.replaceChildren(...message.displays.map((d, i) =>
        new Option(`Display ${i + 1} (${d.width} × ${d.height})`, d.id)));
      sharing(false);
      show(message.displays.length ? "Choose a display to share." : "There is no display to share.");
      break;
    }
    case "started":
      show(`Sharing ${message.width} × ${message.height}. Tavrino windows are kept out of the picture.`);
      break;
    case "configuration":
      configure(message);
      break;
    case "frame":
      decode(message);
      break;
    case "stats":
      $("stats").textContent = `Decoded ${decoded} frames; the helper captured ${message.received}, ` +
        `sent ${message.sent} and skipped ${message.backpressureDrops} while the browser was busy.`;
      break;
    case "stopped":
      decoder?.close();
      decoder = null;
      sharing(false);
      // A failed start stops too; keep its reason on screen.
      if ($("status").className !== "error") show("Sharing stopped.");
      break;
    case "error":
      // The helper's messages are written for users already.
      if (message.code === "tavrinoUnavailable") {
        show(message.message, { error: true, retry: () => send("sources") });
      } else if (message.code === "screenPermission") {
        show(message.message, { error: true, retry: () => send("authorize") });
      } else {
        show(message.message, { error: true });
      }
      break;
    case "disconnected":
      decoder?.close();
      decoder = null;
      port.disconnect();
      sharing(false);
      $("start").disabled = true;
      show(UNREACHABLE[message.reason] ?? STOPPED_UNEXPECTEDLY, { error: true, retry: connect });
      break;
  }
}

function configure({ codec, description }) {
  decoder?.close();
  frameIds.clear();
  decoder = new VideoDecoder({
    output: (frame) => {
      // Acknowledge first: the helper keeps at most 2 frames in flight.
      const id = frameIds.get(frame.timestamp);
      frameIds.delete(frame.timestamp);
      if (id !== undefined) send("ack", { request: share, id });
      draw(frame);
      frame.close();
      hooks.decoded(context, ++decoded);
    },
    error: (e) => {
      show(`This browser could not play the shared screen (${e.message}).`, { error: true });
      stop();
    },
  });
  // "description" is the avcC record: the stream's NAL units are length-prefixed.
  decoder.configure({ codec, description: bytes(description), optimizeForLatency: true });
}

function decode({ id, key, timestamp, data }) {
  if (decoder?.state !== "configured") return;
  frameIds.set(timestamp, id);
  decoder.decode(new EncodedVideoChunk({ type: key ? "key" : "delta", timestamp, data: bytes(data) }));
}

// Decoded frames are padded to whole macroblocks: draw only the visible part.
function draw(frame) {
  const { x, y, width, height } = frame.visibleRect;
  if (canvas.width !== width || canvas.height !== height) {
    canvas.width = width;
    canvas.height = height;
  }
  context.drawImage(frame, x, y, width, height, 0, 0, width, height);
}

function bytes(base64) {
  return Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
}

$("start").onclick = () => start(Number($("displays").value));
$("stop").onclick = stop;
// Closing the page closes the port, and with it the helper and its share.
// (A self-test watches from the first message on, so it loads first.)
const selftest = new URLSearchParams(location.search).has("selftest");
(selftest ? import("./selftest.js") : Promise.resolve()).then(connect);
