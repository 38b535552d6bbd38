// The records that phones and the computer exchange: commands ("wake", "status", "end") and
// configuration changes ("config") from a phone, state reports ("state") and acknowledgements
// ("ack") from the computer. `encode` writes the exact compact JSON text that gets sealed (keys
// in ascending order); `decode` reads one back with the protocol's bounds, checks in the same
// order as the computer's side, and returns { message } or { error }. A record is a plain
// object whose `type` is its JSON "type". Pure; no DOM.

import { graphemeCount, utf8Bytes, utf8Text } from './text.js';

export const protocolVersion = 2;
export const Limits = Object.freeze({ idLengthMax: 64, nameLengthMax: 64, noteLengthMax: 200 });
export const checkInChoices = Object.freeze([15, 30, 60]);
export const defaultCheckInMinutes = 15;
export const defaultAwakeHours = 3;

const int64Limit = 2 ** 63;

// Errors: { kind: 'unsupportedVersion', version } | { kind: 'unknownType', type } |
// { kind: 'outOfBounds', key } | { kind: 'json', key } (wrong kind, missing, not JSON).
const jsonError = (key) => ({ error: { kind: 'json', key } });
const outOfBounds = (key) => ({ error: { kind: 'outOfBounds', key } });

export function isPhoneToMac(message) {
  return ['wake', 'status', 'end', 'config'].includes(message.type);
}

// The nearest check-in choice; on a tie the smaller one.
export function clampCheckIn(minutes) {
  let best = checkInChoices[0];
  for (const choice of checkInChoices) {
    if (Math.abs(minutes - choice) < Math.abs(minutes - best)) best = choice;
  }
  return best;
}

export function clampAwakeHours(hours) {
  return Math.min(24, Math.max(1, hours));
}

// An object's keys written in ascending order (UTF-16 order equals byte order for the keys
// used here, which are ASCII).
function sorted(object) {
  const out = {};
  for (const key of Object.keys(object).sort()) out[key] = object[key];
  return out;
}

// The compact JSON text of a record, as the computer's side writes it: keys in ascending
// order, "/" unescaped, non-ASCII as UTF-8. A state report writes absent times and battery as
// null; optional "hours", "checkIn" and "note" are left out when absent.
export function encode(message) {
  const o = { v: protocolVersion, type: message.type, id: message.id, ts: message.ts };
  const given = (value) => value !== undefined && value !== null;
  switch (message.type) {
    case 'wake':
    case 'status':
    case 'end':
      o.from = message.from;
      if (message.type === 'wake' && given(message.hours)) o.hours = message.hours;
      break;
    case 'config':
      o.from = message.from;
      if (given(message.checkInMinutes)) o.checkIn = message.checkInMinutes;
      break;
    case 'state':
      Object.assign(o, {
        state: message.state,
        awakeUntil: message.awakeUntil ?? null,
        battery: message.battery ?? null,
        charging: message.charging,
        onCharger: message.onCharger,
        lastCheckIn: message.lastCheckIn,
        nextCheckIn: message.nextCheckIn ?? null,
        mac: message.mac,
        tz: message.tz,
        config: { awakeHoursDefault: message.config.awakeHoursDefault, checkIn: message.config.checkInMinutes },
      });
      break;
    case 'ack':
      o.for = message.forID;
      o.ok = message.ok;
      if (given(message.note)) o.note = message.note;
      break;
    default:
      throw new Error(`unknown record type "${message.type}"`);
  }
  return JSON.stringify(sorted(o));
}

export function encodeBytes(message) {
  return utf8Bytes(encode(message));
}

function isInteger(value) {
  return typeof value === 'number' && Number.isInteger(value) && value >= -int64Limit && value < int64Limit;
}

// Readers of one key: { value } (undefined when absent or null) or an error.
function optionalInteger(o, key) {
  const v = o[key];
  if (v === undefined || v === null) return { value: undefined };
  return isInteger(v) ? { value: v } : jsonError(key);
}
function integer(o, key) {
  const r = optionalInteger(o, key);
  return r.error || r.value !== undefined ? r : jsonError(key);
}
function optionalText(o, key) {
  const v = o[key];
  if (v === undefined || v === null) return { value: undefined };
  return typeof v === 'string' ? { value: v } : jsonError(key);
}
function text(o, key) {
  const r = optionalText(o, key);
  return r.error || r.value !== undefined ? r : jsonError(key);
}
function optionalBoolean(o, key) {
  const v = o[key];
  if (v === undefined || v === null) return { value: undefined };
  return typeof v === 'boolean' ? { value: v } : jsonError(key);
}
function name(o, key) {
  const r = optionalText(o, key);
  if (r.error) return r;
  const value = r.value ?? '';
  return graphemeCount(value) > Limits.nameLengthMax ? outOfBounds(key) : { value };
}
const idLengthOK = (id) => {
  const n = graphemeCount(id);
  return n >= 1 && n <= Limits.idLengthMax;
};

// Runs readers in order; the first error ends it.
function read(steps) {
  const values = {};
  for (const [field, reader] of steps) {
    const r = reader();
    if (r.error) return r;
    values[field] = r.value;
  }
  return { values };
}

function decodeByType(o, common) {
  const { type } = common;
  if (type === 'wake' || type === 'status' || type === 'end' || type === 'config') {
    const count = type === 'config' ? 'checkIn' : 'hours';
    const r = read([[count, () => optionalInteger(o, count)], ['from', () => name(o, 'from')]]);
    if (r.error) return r;
    const message = { ...common, from: r.values.from };
    if (type === 'config') message.checkInMinutes = r.values.checkIn;
    if (type === 'wake') message.hours = r.values.hours;
    return { message };
  }
  if (type === 'state') {
    const r = read([
      ['battery', () => {
        const b = optionalInteger(o, 'battery');
        return !b.error && b.value !== undefined && (b.value < 0 || b.value > 100) ? outOfBounds('battery') : b;
      }],
      ['state', () => {
        const s = text(o, 'state');
        return s.error || s.value === 'awake' || s.value === 'asleep' ? s : jsonError('state');
      }],
      ['awakeUntil', () => optionalInteger(o, 'awakeUntil')],
      ['charging', () => optionalBoolean(o, 'charging')],
      ['onCharger', () => optionalBoolean(o, 'onCharger')],
      ['lastCheckIn', () => integer(o, 'lastCheckIn')],
      ['nextCheckIn', () => optionalInteger(o, 'nextCheckIn')],
      ['mac', () => name(o, 'mac')],
      ['tz', () => name(o, 'tz')],
      ['config', () => {
        const c = o.config;
        if (c === null || typeof c !== 'object' || Array.isArray(c)) return jsonError('config');
        const hours = optionalInteger(c, 'awakeHoursDefault');
        if (hours.error) return jsonError('config.awakeHoursDefault');
        const checkIn = optionalInteger(c, 'checkIn');
        if (checkIn.error) return jsonError('config.checkIn');
        return {
          value: {
            checkInMinutes: clampCheckIn(checkIn.value ?? defaultCheckInMinutes),
            awakeHoursDefault: clampAwakeHours(hours.value ?? defaultAwakeHours),
          },
        };
      }],
    ]);
    if (r.error) return r;
    const v = r.values;
    return {
      message: {
        ...common,
        state: v.state,
        awakeUntil: v.awakeUntil,
        battery: v.battery,
        charging: v.charging ?? false,
        onCharger: v.onCharger ?? false,
        lastCheckIn: v.lastCheckIn,
        nextCheckIn: v.nextCheckIn,
        mac: v.mac,
        tz: v.tz,
        config: v.config,
      },
    };
  }
  if (type === 'ack') {
    const r = read([
      ['note', () => {
        const n = optionalText(o, 'note');
        return !n.error && n.value !== undefined && graphemeCount(n.value) > Limits.noteLengthMax ? outOfBounds('note') : n;
      }],
      ['forID', () => {
        const f = text(o, 'for');
        return !f.error && !idLengthOK(f.value) ? outOfBounds('for') : f;
      }],
      ['ok', () => {
        const ok = optionalBoolean(o, 'ok');
        return ok.error || ok.value !== undefined ? ok : jsonError('ok');
      }],
    ]);
    if (r.error) return r;
    const message = { ...common, forID: r.values.forID, ok: r.values.ok };
    if (r.values.note !== undefined) message.note = r.values.note;
    return { message };
  }
  return { error: { kind: 'unknownType', type } };
}

// Reads a record from its UTF-8 bytes: { message } or { error }.
export function decode(bytes) {
  const textValue = utf8Text(bytes);
  if (textValue === null) return jsonError('');
  let o;
  try {
    o = JSON.parse(textValue);
  } catch {
    return jsonError('');
  }
  if (o === null || typeof o !== 'object' || Array.isArray(o)) return jsonError('');
  const v = integer(o, 'v');
  if (v.error) return v;
  if (v.value !== protocolVersion) return { error: { kind: 'unsupportedVersion', version: v.value } };
  const type = text(o, 'type');
  if (type.error) return type;
  const id = text(o, 'id');
  if (id.error) return id;
  if (!idLengthOK(id.value)) return outOfBounds('id');
  const ts = integer(o, 'ts');
  if (ts.error) return ts;
  if (ts.value < 1) return outOfBounds('ts');
  return decodeByType(o, { type: type.value, id: id.value, ts: ts.value });
}
