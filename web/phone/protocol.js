// The phone's side of the conversation with one paired computer: building commands with fresh
// identifiers and times, sealing them with the pairing's key, and opening what the relay
// carries, keeping only state reports and acknowledgements sealed for this pairing (a record
// travelling the wrong way, for another key id, or unreadable is left out). Pure apart from
// the random identifiers and nonces; no DOM, so node tests it.

import { open, seal } from './envelope.js';
import { decode, encodeBytes, isPhoneToMac } from './messages.js';
import { cleanName } from './text.js';

export { parsePairingLink, describePairingError } from './pairing.js';
export { checkInChoices } from './messages.js';

export const nameLengthMax = 64;

// A phone record: kind is 'wake', 'status', 'end' or 'config'. `hours` only for wake (1 to
// 24 or left out), `checkInMinutes` only for config. A fresh random UUID and the current time
// in whole seconds, so no two records repeat and the computer's time window accepts them.
export function newCommand(kind, { from, hours, checkInMinutes, now = Date.now() } = {}) {
  const record = { type: kind, id: crypto.randomUUID(), ts: Math.floor(now / 1000), from: cleanName(from, nameLengthMax, 'phone') };
  if (kind === 'wake' && hours !== undefined) {
    if (!Number.isInteger(hours) || hours < 1 || hours > 24) throw new RangeError('a Wake lasts 1 to 24 hours');
    record.hours = hours;
  }
  if (kind === 'config') record.checkInMinutes = checkInMinutes;
  return record;
}

// The envelope text of a phone record, sealed for the pairing. Sealing a state report or an
// ack here is a programming error and throws.
export async function sealCommand(pairing, record) {
  if (!isPhoneToMac(record)) throw new Error(`a phone does not send "${record.type}" records`);
  const sealed = await seal(encodeBytes(record), pairing.keyData, pairing.keyID);
  if (sealed.error) throw new Error(`the record cannot be sealed: ${sealed.error}`);
  return sealed.text;
}

// { message, ntfyID, ntfyTime } for a relay event carrying a state report or an ack sealed
// for this pairing; null for anything else.
export async function openEvent(pairing, event) {
  if (typeof event.message !== 'string') return null;
  const opened = await open(event.message, pairing.keyData, pairing.keyID);
  if (opened.error) return null;
  const decoded = decode(opened.plaintext);
  if (decoded.error || isPhoneToMac(decoded.message)) return null;
  return { message: decoded.message, ntfyID: event.id, ntfyTime: event.time };
}
