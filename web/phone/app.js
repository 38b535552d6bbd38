// The web phone's page: pairing from the link in the address's fragment (or pasted), the
// computers this browser is paired with, the card of the one shown with its buttons, and one
// follower of that computer's relay topic that catches up from the stored position and then
// streams. Everything a computer says arrives sealed; only reports and acknowledgements sealed
// for this browser's pairing are shown.

import { importKey } from './envelope.js';
import { describePairingError, newCommand, openEvent, parsePairingLink, sealCommand } from './protocol.js';
import { describeAck, describeState, pendingText } from './present.js';
import { RelayError, poll, publish, stream } from './relay.js';
import * as store from './store.js';
import { cleanName } from './text.js';

const $ = (id) => document.getElementById(id);
const phoneZone = Intl.DateTimeFormat().resolvedOptions().timeZone;
const nowSeconds = () => Math.floor(Date.now() / 1000);
const maxNotes = 6;

let pairings = [];
let current = null; // key id of the computer shown
let phoneName = '';
let follower = null;
let pending = null; // { id, verb, keyID } of the command awaiting its acknowledgement
let adding = false; // the welcome screen is shown to add another computer

function defaultPhoneName() {
  const ua = navigator.userAgent;
  const device = /iPhone/.test(ua) ? 'iPhone' : /iPad/.test(ua) ? 'iPad' : /Android/.test(ua) ? 'Android phone'
    : /Mac OS X/.test(ua) ? 'Mac' : /Windows/.test(ua) ? 'Windows PC' : 'Linux computer';
  const browser = /Edg\//.test(ua) ? 'Edge' : /Firefox\//.test(ua) ? 'Firefox' : /Chrome\//.test(ua) ? 'Chrome'
    : /Safari\//.test(ua) ? 'Safari' : 'Browser';
  return `${browser} on ${device}`;
}

const record = () => pairings.find((p) => p.keyID === current) ?? null;
const macName = (p) => cleanName(p.state?.mac || p.macName, 64, 'Mac');

function showBanner(text) {
  $('banner').textContent = text;
  $('banner').hidden = !text;
}

function showScreen(name) {
  for (const id of ['welcome', 'confirm', 'computer']) $(id).hidden = id !== name;
}

function relayProblem(error, relay) {
  if (error instanceof RelayError) return `The relay refused the request (HTTP ${error.status}).`;
  if (error?.name === 'TimeoutError') return `The relay at ${relay} did not answer in time.`;
  let elsewhere = false;
  try {
    elsewhere = new URL(relay).origin !== location.origin;
  } catch {
    elsewhere = true;
  }
  return elsewhere
    ? `Cannot reach the relay at ${relay}. A page that the relay does not serve itself needs the relay in its Content-Security-Policy (connect-src), and the relay must allow other origins (CORS).`
    : `Cannot reach the relay at ${relay}. Is it running, and is this phone on its network?`;
}

function addNote(text, kind, at = nowSeconds()) {
  const item = document.createElement('li');
  if (kind) item.className = kind;
  const time = document.createElement('time');
  time.dateTime = new Date(at * 1000).toISOString();
  time.textContent = new Intl.DateTimeFormat('en-GB', { hour: '2-digit', minute: '2-digit', hourCycle: 'h23' }).format(at * 1000);
  item.append(time, document.createTextNode(text));
  $('notes').prepend(item);
  while ($('notes').children.length > maxNotes) $('notes').lastElementChild.remove();
}

function renderCard() {
  const p = record();
  if (!p) return;
  const view = describeState(p.state, { now: nowSeconds(), phoneZone, macName: macName(p) });
  $('mac-name').textContent = cleanName(view.mac, 64, 'Mac');
  $('mac-zone').textContent = view.zone;
  $('headline').textContent = view.headline;
  $('headline').className = `headline ${view.awake === null ? '' : view.awake ? 'awake' : 'asleep'}`;
  $('battery').textContent = view.battery;
  $('last-check-in').textContent = view.lastCheckIn;
  $('next-check-in').textContent = view.nextCheckIn;
  $('interval').textContent = view.interval;
  $('reported').textContent = view.reported;
  const minutes = p.state?.config.checkInMinutes;
  for (const button of document.querySelectorAll('[data-interval]')) {
    button.setAttribute('aria-pressed', String(Number(button.dataset.interval) === minutes));
  }
  renderPending();
}

function renderPending() {
  const p = record();
  const waiting = p && pending && pending.keyID === p.keyID;
  $('pending').hidden = !waiting;
  if (waiting) {
    $('pending').textContent = pendingText(p.state, { now: nowSeconds(), phoneZone, macName: macName(p), verb: pending.verb });
  }
}

function renderComputers() {
  const select = $('computer-select');
  select.replaceChildren();
  const names = pairings.map(macName);
  pairings.forEach((p, i) => {
    const option = document.createElement('option');
    option.value = p.keyID;
    // Two computers of the same name are told apart by their key ids.
    option.textContent = names.indexOf(names[i]) !== names.lastIndexOf(names[i]) ? `${names[i]} · ${p.keyID.slice(0, 4)}` : names[i];
    option.selected = p.keyID === current;
    select.append(option);
  });
  $('computers').hidden = pairings.length === 0;
}

function render() {
  renderComputers();
  const p = record();
  if (!p || adding) {
    stopFollowing();
    showScreen('welcome');
    return;
  }
  if (!p.confirmed && !p.requested) {
    stopFollowing();
    $('confirm-mac').textContent = macName(p);
    $('phone-name').value = phoneName;
    showScreen('confirm');
    return;
  }
  $('settings-name').value = phoneName;
  showScreen('computer');
  renderCard();
  follow(p);
}

async function reload() {
  pairings = (await store.listPairings()).sort((a, b) => a.addedAt - b.addedAt);
  if (!record()) current = pairings[0]?.keyID ?? null;
}

async function choose(keyID) {
  current = keyID;
  adding = false;
  await store.setSetting('current', keyID);
  $('notes').replaceChildren();
  render();
}

// Stores the pairing of a link and shows it for confirmation. A link for a computer already
// paired (same relay and topic) replaces that pairing: the computer has issued a new key.
async function addPairing(linkText) {
  const parsed = parsePairingLink(linkText);
  if (parsed.error) {
    showBanner(describePairingError(parsed.error));
    render();
    return;
  }
  showBanner('');
  const link = parsed.pairing;
  if (!pairings.some((p) => p.keyID === link.keyID)) {
    for (const old of pairings.filter((p) => p.relay === link.relay && p.topic === link.topic)) {
      await store.deletePairing(old.keyID);
    }
    await store.putPairing({
      keyID: link.keyID,
      relay: link.relay,
      topic: link.topic,
      keyData: await importKey(link.keyData),
      macName: link.macName,
      addedAt: Date.now(),
      confirmed: false,
      requested: false,
      position: null,
      state: null,
    });
  }
  await reload();
  await choose(link.keyID);
}

async function forget() {
  const p = record();
  if (!p) return;
  stopFollowing();
  await store.deletePairing(p.keyID);
  if (pending?.keyID === p.keyID) pending = null;
  await reload();
  await choose(pairings[0]?.keyID ?? null);
}

async function send(kind, options, verb) {
  const p = record();
  if (!p) return;
  const message = newCommand(kind, { from: phoneName, ...options });
  const buttons = document.querySelectorAll('#computer button');
  for (const b of buttons) b.disabled = true;
  // Waiting from before the publish: the answer can come back before the publish returns.
  pending = { id: message.id, verb, keyID: p.keyID };
  try {
    const line = await sealCommand({ keyID: p.keyID, keyData: p.keyData }, message);
    await publish(p.relay, p.topic, line);
    if (!p.requested) {
      p.requested = true;
      await store.updatePairing(p.keyID, { requested: true });
    }
  } catch (error) {
    if (pending?.id === message.id) pending = null;
    addNote(relayProblem(error, p.relay), 'problem');
  } finally {
    for (const b of buttons) b.disabled = false;
  }
  render();
}

// Takes one relay event for the pairing `p` (the stored record, updated in place).
async function receive(p, event) {
  const received = await openEvent({ keyID: p.keyID, keyData: p.keyData }, event);
  const changes = { position: event.id };
  p.position = event.id;
  if (received) {
    const message = received.message;
    if (!p.confirmed) p.confirmed = changes.confirmed = true;
    if (message.type === 'state' && (!p.state || message.ts >= p.state.ts)) {
      p.state = changes.state = message;
    } else if (message.type === 'ack' && p.keyID === current) {
      const note = describeAck(message);
      addNote(note.text, note.ok ? '' : 'refused', received.ntfyTime);
      if (pending?.id === message.forID) pending = null;
    }
  }
  await store.updatePairing(p.keyID, changes);
  if (p.keyID === current) renderCard();
}

function stopFollowing() {
  follower?.abort();
  follower = null;
}

// Follows the topic of `p` until stopped: a poll from the stored position, then a stream from
// the last event read; after a failure it waits (longer each time, up to 30 s) and resumes.
function follow(p) {
  // The follower updates the record it was given: a reloaded record needs a new follower.
  if (follower && follower.record === p && !follower.signal.aborted) return;
  stopFollowing();
  const controller = new AbortController();
  controller.record = p;
  follower = controller;
  (async () => {
    let delay = 1000;
    let since = p.position ? { id: p.position } : { unix: nowSeconds() - 10 };
    while (!controller.signal.aborted) {
      try {
        if (since.id) {
          for (const event of await poll(p.relay, p.topic, since)) {
            if (controller.signal.aborted) return;
            await receive(p, event);
            since = { id: event.id };
          }
        }
        await stream(p.relay, p.topic, since, async (event) => {
          await receive(p, event);
          since = { id: event.id };
          delay = 1000;
        }, { signal: controller.signal });
        // The relay ended the stream: resume shortly.
        await new Promise((resolve) => setTimeout(resolve, 1000));
      } catch (error) {
        if (controller.signal.aborted) return;
        addNote(relayProblem(error, p.relay), 'problem');
        await new Promise((resolve) => setTimeout(resolve, delay));
        delay = Math.min(delay * 2, 30000);
      }
    }
  })();
}

function wire() {
  $('link-form').addEventListener('submit', (e) => {
    e.preventDefault();
    addPairing($('link-input').value);
    $('link-input').value = '';
  });
  $('confirm-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    phoneName = cleanName($('phone-name').value, 64, defaultPhoneName());
    await store.setSetting('phoneName', phoneName);
    const p = record();
    p.requested = true;
    await store.updatePairing(p.keyID, { requested: true });
    render();
    await send('status', {}, 'Pairing request');
  });
  $('confirm-cancel').addEventListener('click', forget);
  $('computer-select').addEventListener('change', (e) => choose(e.target.value));
  for (const button of document.querySelectorAll('[data-wake]')) {
    const hours = Number(button.dataset.wake);
    button.addEventListener('click', () => send('wake', { hours }, `Wake for ${hours} h`));
  }
  const customHours = () => Number($('wake-hours').value);
  $('wake-hours').addEventListener('input', () => {
    const hours = customHours();
    $('wake-custom').textContent = Number.isInteger(hours) && hours >= 1 && hours <= 24 ? `Wake for ${hours} hour${hours === 1 ? '' : 's'}` : 'Wake (1 to 24 hours)';
  });
  $('wake-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const hours = customHours();
    if (!Number.isInteger(hours) || hours < 1 || hours > 24) {
      addNote('A Wake lasts 1 to 24 whole hours.', 'problem');
      return;
    }
    send('wake', { hours }, `Wake for ${hours} h`);
  });
  $('end').addEventListener('click', () => send('end', {}, 'End'));
  $('refresh').addEventListener('click', () => send('status', {}, 'Refresh'));
  for (const button of document.querySelectorAll('[data-interval]')) {
    const minutes = Number(button.dataset.interval);
    button.addEventListener('click', () => send('config', { checkInMinutes: minutes }, `Check in every ${minutes} min`));
  }
  $('name-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    phoneName = cleanName($('settings-name').value, 64, defaultPhoneName());
    $('settings-name').value = phoneName;
    await store.setSetting('phoneName', phoneName);
    addNote(`This phone is now called ${phoneName} in what it sends.`, '');
  });
  $('add-computer').addEventListener('click', () => {
    adding = true;
    render();
  });
  // Forgetting takes a second tap within 4 seconds.
  let armed = null;
  $('forget').addEventListener('click', () => {
    if (armed) {
      clearTimeout(armed);
      armed = null;
      $('forget').textContent = 'Forget this computer';
      forget();
      return;
    }
    $('forget').textContent = 'Tap again to forget it';
    armed = setTimeout(() => {
      armed = null;
      $('forget').textContent = 'Forget this computer';
    }, 4000);
  });
  // A pairing link opened while the page is already open changes only the fragment.
  window.addEventListener('hashchange', () => {
    const link = takeLinkFromAddress();
    if (link !== null && globalThis.crypto?.subtle) addPairing(link);
  });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') render();
  });
  setInterval(() => {
    if (!$('computer').hidden) renderCard();
  }, 30000);
}

// The pairing link in the address's fragment, removed from the address bar (and so from the
// history) at once; null without one.
function takeLinkFromAddress() {
  if (location.hash.length <= 1) return null;
  const raw = location.hash.slice(1);
  history.replaceState(null, '', location.pathname + location.search);
  try {
    return decodeURIComponent(raw);
  } catch {
    return raw;
  }
}

async function main() {
  wire();
  const link = takeLinkFromAddress();
  if (!window.isSecureContext || !globalThis.crypto?.subtle) {
    showBanner('This page can only encrypt over a secure connection: open it with https, or on the computer itself (localhost).');
    showScreen('welcome');
    for (const control of document.querySelectorAll('input, button')) control.disabled = true;
    return;
  }
  if ('serviceWorker' in navigator) {
    navigator.serviceWorker.register('sw.js').catch(() => {});
  }
  phoneName = (await store.getSetting('phoneName')) ?? defaultPhoneName();
  current = (await store.getSetting('current')) ?? null;
  await reload();
  if (link !== null) {
    await addPairing(link);
  } else {
    render();
  }
}

main().catch((error) => showBanner(`The page could not start: ${error.message}`));
