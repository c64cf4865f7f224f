"use strict";
// The preview page: a strip of pictures, the chosen one with a before/after
// split, GAMMA and the options, Save. Every picture comes from the server's
// API (api/...), each request carrying the token of the page's URL.
//
// Fitted to the window, the preview is computed at screen size with the fast
// engine, so that it follows the slider; at 100 % it is computed at full size
// with the engine chosen, as Save writes it.

const token = new URLSearchParams(location.search).get("token") || "";
const byRole = role => document.querySelector(`[data-role="${role}"]`);
const ui = Object.fromEntries(
  ["strip", "stage", "canvas", "before", "preview", "split", "gamma", "gamma-value", "clean", "fast",
   "view", "zoom", "save", "saved-path", "status"].map(role => [role, byRole(role)]));

const PREVIEW_DELAY_MS = 40;  // lets a dragged slider settle between two requests
const state = { picture: null, size: null, zoomed: false, split: 0.5, timer: null };
const loads = new Map();  // img -> the AbortController of the request filling it

function apiUrl(path, parameters = {}) {
  return `api/${path}?${new URLSearchParams({ ...parameters, token })}`;
}

// fetch that throws on a failed answer, with the server's one-line reason.
async function fetchOk(url, options) {
  const response = await fetch(url, options);
  if (!response.ok) {
    const error = new Error((await response.text()).trim() || response.statusText);
    error.status = response.status;
    throw error;
  }
  return response;
}

function showStatus(text, isError = false) {
  ui.status.textContent = text;
  ui.status.classList.toggle("error", isError);
}

function chosenSettings() {
  return { gamma: ui.gamma.value, clean: ui.clean.checked ? "1" : "0", fast: ui.fast.checked ? "1" : "0" };
}

function shownSize() {
  return state.zoomed ? "full" : "screen";
}

// Fills img with the answer to url, replacing a request still filling it.
// Resolves true once the new picture is decoded and shown, false when a newer
// request took its place or it failed (the failure is shown in the status).
async function loadInto(img, url, label) {
  loads.get(img)?.abort();
  const controller = new AbortController();
  loads.set(img, controller);
  img.dataset.state = "loading";
  try {
    const response = await fetchOk(url, { signal: controller.signal });
    const size = response.headers.get("X-Picture-Size");
    const blob = await response.blob();
    if (controller.signal.aborted) return false;
    const previous = img.src;
    img.src = URL.createObjectURL(blob);
    await img.decode().catch(() => {});
    if (previous.startsWith("blob:")) URL.revokeObjectURL(previous);
    if (controller.signal.aborted) return false;
    if (size) setPictureSize(size);
    img.dataset.settings = label;
    img.dataset.state = "ready";
    return true;
  } catch (error) {
    if (error.name === "AbortError" || error.status === 409) return false;
    img.dataset.state = "error";
    showStatus(error.message, true);
    return false;
  }
}

function setPictureSize(text) {
  const [width, height] = text.split("x").map(Number);
  if (state.size && state.size[0] === width && state.size[1] === height) return;
  state.size = [width, height];
  layout();
}

// Sizes the canvas: fitted to the stage, or one picture pixel per device pixel.
function layout() {
  if (!state.size) return;
  const [width, height] = state.size;
  const box = ui.stage.getBoundingClientRect();
  const scale = state.zoomed ? 1 / window.devicePixelRatio
                             : Math.min(box.width / width, box.height / height, 1);
  ui.canvas.style.width = `${Math.max(1, Math.round(width * scale))}px`;
  ui.canvas.style.height = `${Math.max(1, Math.round(height * scale))}px`;
}

function previewParameters() {
  const parameters = { picture: state.picture, size: shownSize(), view: ui.view.value, ...chosenSettings() };
  if (!state.zoomed) parameters.fast = "1";
  return parameters;
}

async function refreshPreview() {
  clearTimeout(state.timer);
  if (state.picture === null) return;
  const parameters = previewParameters();
  const label = new URLSearchParams(parameters).toString();
  const started = performance.now();
  showStatus(state.zoomed ? "computing at full size…" : "computing…");
  if (await loadInto(ui.preview, apiUrl("preview", parameters), label))
    showStatus(`preview in ${((performance.now() - started) / 1000).toFixed(2)} s`);
}

function schedulePreview() {
  clearTimeout(state.timer);
  state.timer = setTimeout(refreshPreview, PREVIEW_DELAY_MS);
}

function refreshBefore() {
  const parameters = { picture: state.picture, size: shownSize() };
  loadInto(ui.before, apiUrl("original", parameters), new URLSearchParams(parameters).toString());
}

function choosePicture(number) {
  state.picture = number;
  state.size = null;
  for (const button of ui.strip.children)
    button.setAttribute("aria-current", String(Number(button.dataset.number) === number));
  ui["saved-path"].textContent = "";
  refreshBefore();
  refreshPreview();
}

function setSplit(fraction) {
  state.split = Math.min(1, Math.max(0, fraction));
  ui.canvas.style.setProperty("--split", `${state.split * 100}%`);
  ui.split.setAttribute("aria-valuenow", String(Math.round(state.split * 100)));
}

function splitAt(clientX) {
  const box = ui.canvas.getBoundingClientRect();
  setSplit((clientX - box.left) / box.width);
}

// Switches between fitted and 100 %, keeping the point at (x, y) of the
// canvas, as fractions of its size, under the same place of the stage.
function toggleZoom(x = 0.5, y = 0.5) {
  const stage = ui.stage.getBoundingClientRect();
  const canvas = ui.canvas.getBoundingClientRect();
  const offsetX = canvas.left + x * canvas.width - stage.left;
  const offsetY = canvas.top + y * canvas.height - stage.top;
  state.zoomed = !state.zoomed;
  ui.zoom.setAttribute("aria-pressed", String(state.zoomed));
  ui.zoom.textContent = state.zoomed ? "Fit" : "100 %";
  ui.stage.classList.toggle("zoomed", state.zoomed);
  layout();
  if (state.zoomed) {
    ui.stage.scrollLeft = x * ui.canvas.offsetWidth - offsetX;
    ui.stage.scrollTop = y * ui.canvas.offsetHeight - offsetY;
  }
  refreshBefore();
  refreshPreview();
}

function followPointer(event, onMove) {
  event.preventDefault();
  const target = event.currentTarget;
  target.setPointerCapture(event.pointerId);
  const move = e => onMove(e);
  const end = () => {
    target.removeEventListener("pointermove", move);
    target.removeEventListener("pointerup", end);
    target.removeEventListener("pointercancel", end);
    ui.stage.classList.remove("panning");
  };
  target.addEventListener("pointermove", move);
  target.addEventListener("pointerup", end);
  target.addEventListener("pointercancel", end);
}

// Fitted, a drag anywhere on the picture moves the split; at 100 % it pans
// and only the handle moves the split.
function wirePointer() {
  ui.split.addEventListener("pointerdown", event => {
    event.stopPropagation();
    followPointer(event, e => splitAt(e.clientX));
  });
  ui.stage.addEventListener("pointerdown", event => {
    if (event.button !== 0) return;
    if (!state.zoomed) {
      splitAt(event.clientX);
      followPointer(event, e => splitAt(e.clientX));
      return;
    }
    const start = { x: event.clientX, y: event.clientY, left: ui.stage.scrollLeft, top: ui.stage.scrollTop };
    ui.stage.classList.add("panning");
    followPointer(event, e => {
      ui.stage.scrollLeft = start.left - (e.clientX - start.x);
      ui.stage.scrollTop = start.top - (e.clientY - start.y);
    });
  });
  ui.canvas.addEventListener("dblclick", event => {
    const box = ui.canvas.getBoundingClientRect();
    toggleZoom((event.clientX - box.left) / box.width, (event.clientY - box.top) / box.height);
  });
}

function wireKeys() {
  ui.split.addEventListener("keydown", event => {
    const step = event.shiftKey ? 0.1 : 0.02;
    const moves = { ArrowLeft: state.split - step, ArrowRight: state.split + step, Home: 0, End: 1 };
    if (!(event.key in moves)) return;
    event.preventDefault();
    setSplit(moves[event.key]);
  });
}

function showGamma() {
  ui["gamma-value"].textContent = Number(ui.gamma.value).toFixed(2);
}

function wireControls() {
  ui.gamma.addEventListener("input", () => { showGamma(); schedulePreview(); });
  for (const control of [ui.clean, ui.fast, ui.view]) control.addEventListener("change", refreshPreview);
  ui.zoom.addEventListener("click", () => toggleZoom());
  ui.save.addEventListener("click", save);
  window.addEventListener("resize", layout);
}

async function save() {
  if (state.picture === null) return;
  ui.save.disabled = true;
  showStatus("saving at full size…");
  const body = { picture: String(state.picture), ...chosenSettings(),
                 maps: ui.view.value === "result" ? "0" : "1" };
  try {
    const response = await fetchOk(apiUrl("save"), {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body) });
    const { written } = await response.json();
    ui["saved-path"].textContent = written.join(", ");
    showStatus("saved");
  } catch (error) {
    showStatus(`Save failed: ${error.message}`, true);
  } finally {
    ui.save.disabled = false;
  }
}

function stripEntry(picture) {
  const button = document.createElement("button");
  button.type = "button";
  button.dataset.role = "picture";
  button.dataset.number = String(picture.number);
  button.title = picture.name;
  const thumbnail = document.createElement("img");
  thumbnail.loading = "lazy";
  thumbnail.alt = "";
  thumbnail.src = apiUrl("thumbnail", { picture: picture.number });
  const name = document.createElement("span");
  name.textContent = picture.name;
  button.append(thumbnail, name);
  button.addEventListener("click", () => choosePicture(picture.number));
  return button;
}

async function start() {
  wirePointer();
  wireKeys();
  wireControls();
  try {
    const listing = await (await fetchOk(apiUrl("pictures"))).json();
    ui.gamma.min = listing.gamma.low;
    ui.gamma.max = listing.gamma.high;
    ui.gamma.value = listing.gamma.default;
    showGamma();
    ui.strip.append(...listing.pictures.map(stripEntry));
    document.title = `nightdehaze preview (${listing.pictures.length})`;
    if (listing.pictures.length) choosePicture(0);
  } catch (error) {
    showStatus(error.message, true);
  }
}

start();
