// Test hook, loaded only by viewer.html?selftest: presses "Try Again" after
// failures, shares the first display, counts chosen colours in the decoded
// pictures, reports on the console (Chrome prints console lines with
// --enable-logging=stderr) and leaves the page, which closes the port and so
// ends the helper.
//   ?selftest&frames=24&protected=ff00ff&visible=20c040,ffa000&region=0,0,900,900&record
// "protected" is counted over the whole picture, "visible" colours inside
// the region; "record" downloads the decoded pictures as received.webm.
import { hooks, start, stop } from "./viewer.js";

const params = new URLSearchParams(location.search);
const wanted = Number(params.get("frames") ?? 24);
const hex = (text) => [0, 2, 4].map((i) => parseInt(text.slice(i, i + 2), 16));
const protectedColour = hex(params.get("protected") ?? "ff00ff");
const visible = (params.get("visible") ?? "").split(",").filter(Boolean);
const region = params.get("region")?.split(",").map(Number);
const report = (kind, value) => console.log(`TAVRINO-SELFTEST ${kind} ${JSON.stringify(value)}`);

let decodedFrames = 0;
let protectedPixels = 0;
const mostSeen = Object.fromEntries(visible.map((c) => [c, 0]));
let stopping = false;
let recorder = null;

function count(pixels, [r, g, b]) {
  let n = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    if (Math.abs(pixels[i] - r) < 40 && Math.abs(pixels[i + 1] - g) < 40 && Math.abs(pixels[i + 2] - b) < 40) ++n;
  }
  return n;
}

function record(canvas) {
  const chunks = [];
  recorder = new MediaRecorder(canvas.captureStream(12), { mimeType: "video/webm" });
  recorder.ondataavailable = (event) => chunks.push(event.data);
  recorder.onstop = () => {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob(chunks, { type: "video/webm" }));
    link.download = "received.webm";
    link.click();
    report("recorded", { bytes: chunks.reduce((n, c) => n + c.size, 0) });
  };
  recorder.start();
}

// What the user sees after a failure; press "Try Again" a second later, as a user would.
function tryAgainLater() {
  const retry = document.getElementById("retry");
  report("shown", { text: document.getElementById("status").textContent, retry: !retry.hidden });
  if (!retry.hidden) setTimeout(() => retry.click(), 1000);
}

hooks.message = (message) => {
  if (message.type !== "frame") report(message.type, message);
  // After the viewer has handled the message itself.
  if (message.type === "error" || message.type === "disconnected") queueMicrotask(tryAgainLater);
  if (message.type === "sources" && message.displays.length > 0) queueMicrotask(() => start(message.displays[0].id));
  if (message.type === "stopped" && stopping) {
    report("pixels", { decoded: decodedFrames, protectedPixels, visible: mostSeen });
    recorder?.stop();
    setTimeout(() => location.replace("about:blank"), 1000);
  }
};

hooks.decoded = (context, decoded) => {
  decodedFrames = decoded;
  const { width, height } = context.canvas;
  if (decoded === 1 && params.has("record")) record(context.canvas);
  protectedPixels += count(context.getImageData(0, 0, width, height).data, protectedColour);
  const [x, y, w, h] = region ?? [0, 0, width, height];
  const inside = context.getImageData(x, y, w, h).data;
  for (const c of visible) mostSeen[c] = Math.max(mostSeen[c], count(inside, hex(c)));
  if (decoded === 1 || decoded % 12 === 0) report("decoded", { decoded, width, height });
  if (decoded >= wanted && !stopping) {
    stopping = true;
    stop();
  }
};
