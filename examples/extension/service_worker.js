// Owns the connection to the Tavrino Share Helper. Each viewer page gets its
// own helper: Chrome starts the helper when the native port opens and closes
// the helper's input when the port closes, which ends that page's share.
// (VideoDecoder does not exist in a service worker, so decoding happens in
// the page; this worker only relays messages.)
const HOST = "net.tavrino.share_companion";

chrome.action.onClicked.addListener(() => chrome.tabs.create({ url: "viewer.html" }));

chrome.runtime.onConnect.addListener((viewer) => {
  if (viewer.name !== "viewer") return;
  const helper = chrome.runtime.connectNative(HOST);
  helper.onMessage.addListener((message) => viewer.postMessage(message));
  helper.onDisconnect.addListener(() => {
    // Read lastError here, or Chrome reports it as unchecked.
    const reason = chrome.runtime.lastError?.message ?? "";
    viewer.postMessage({ type: "disconnected", reason });
  });
  viewer.onMessage.addListener((request) => helper.postMessage(request));
  // The page closed or gave up: closing the native port ends the helper.
  viewer.onDisconnect.addListener(() => helper.disconnect());
});
